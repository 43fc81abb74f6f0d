#include "platform/posix/file_read.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "platform/posix/file_errors.h"

namespace emsgraft {
namespace {

int RetryingRead(int fd, char *buffer, size_t size, size_t &got)
{
    got = 0;
    while (got < size) {
        ssize_t n = read(fd, buffer + got, size - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    return 0;
}

// Why a file of this type is not read: only regular files are.
int NotRegularError(mode_t mode)
{
    return S_ISDIR(mode) ? EISDIR : S_ISFIFO(mode) ? kFifo : S_ISSOCK(mode) ? kSocket : kDevice;
}

}  // namespace

bool FileIdentity::operator==(const FileIdentity &other) const
{
    return device == other.device && inode == other.inode && size == other.size &&
           modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec;
}

int ReadFileContent(const FileLocation &location, ByteBuffer &content, FileVersion &version)
{
    int directory = location.directory.Get();
    // The type first, without opening: opening a FIFO would release a
    // program waiting to write into it, and a device may do anything.
    struct stat st;
    if (fstatat(directory, location.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno;
    // A link found where the resolved file stood was put there since.
    if (S_ISLNK(st.st_mode))
        return kFileChanged;
    if (!S_ISREG(st.st_mode))
        return NotRegularError(st.st_mode);
    // Non-blocking all the same: what the name holds may change meanwhile.
    FileDescriptor file(openat(directory, location.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (file.Get() < 0)
        return errno == ELOOP ? kFileChanged : errno;
    clock_gettime(CLOCK_REALTIME, &version.readAt);
    clock_gettime(CLOCK_MONOTONIC, &version.readAtSteady);
    struct stat opened;
    if (fstat(file.Get(), &opened) != 0)
        return errno;
    if (!S_ISREG(opened.st_mode) || opened.st_ino != st.st_ino || opened.st_dev != st.st_dev)
        return kFileChanged;
    // Their sizes say nothing of what they hold.
    struct statfs fileSystem;
    if (fstatfs(file.Get(), &fileSystem) != 0)
        return errno;
    if (fileSystem.f_type == PROC_SUPER_MAGIC || fileSystem.f_type == SYSFS_MAGIC)
        return kPseudoFile;
    version.identity = FileIdentity::Of(opened);
    content = ByteBuffer(static_cast<size_t>(opened.st_size));
    size_t got = 0;
    int error = RetryingRead(file.Get(), content.Data(), content.Size(), got);
    if (error != 0)
        return error;
    char more;
    size_t extra = 0;
    error = RetryingRead(file.Get(), &more, 1, extra);
    if (error != 0)
        return error;
    return got == content.Size() && extra == 0 ? 0 : kFileChanged;
}

int CheckFileWritable(const FileLocation &location, const FileIdentity &identity)
{
    // The effective IDs decide, as for an open; a read-only file system and
    // an immutable file refuse root too.
    if (faccessat(location.directory.Get(), location.name.c_str(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? kFileChanged : errno;  // removed since it was read
    return NameStillHolds(location.directory.Get(), location.name, identity);
}

int NameStillHolds(int directory, const std::string &name, const FileIdentity &original)
{
    struct stat st;
    if (fstatat(directory, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno != ENOENT ? errno : kFileChanged;
    return S_ISREG(st.st_mode) && FileIdentity::Of(st) == original ? 0 : kFileChanged;
}

}  // namespace emsgraft

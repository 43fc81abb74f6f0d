#include "platform/posix/replace_file.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <stdint.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <new>
#include <utility>

#include "platform/base.h"
#include "platform/posix/stop_signals.h"

namespace emsgraft {
namespace {

constexpr int kMaxLinks = 40;  // as many as the kernel follows in one path
constexpr size_t kTemporaryRandomLength = 6;

// The names of a path, "." and empty ones left out.
std::deque<std::string> NamesOf(std::string_view path)
{
    std::deque<std::string> names;
    while (!path.empty()) {
        size_t slash = path.find('/');
        std::string_view name = path.substr(0, slash);
        if (!name.empty() && name != ".")
            names.emplace_back(name);
        path.remove_prefix(slash == std::string_view::npos ? path.size() : slash + 1);
    }
    return names;
}

int ReadLink(int link, std::string &target)
{
    for (size_t size = 256;; size *= 2) {
        target.resize(size);
        ssize_t length = readlinkat(link, "", target.data(), size);
        if (length < 0)
            return errno;
        if (static_cast<size_t>(length) < size) {
            target.resize(static_cast<size_t>(length));
            return 0;
        }
    }
}

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

// Writes in pieces of at most 1 MiB, as dd does: a single write of tens of
// megabytes now and then stalls for many times its usual time.
int WriteAll(int fd, std::string_view bytes)
{
    const size_t kPiece = size_t(1) << 20;
    while (!bytes.empty()) {
        ssize_t written = write(fd, bytes.data(), std::min(bytes.size(), kPiece));
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0)
            return errno;
        bytes.remove_prefix(static_cast<size_t>(written));
    }
    return 0;
}

mode_t NewFileMode()
{
    mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

std::string RandomLetters(size_t count)
{
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    static unsigned counter = 0;
    unsigned char bytes[16] = {};
    if (getrandom(bytes, count, GRND_NONBLOCK) != static_cast<ssize_t>(count)) {
        // No entropy yet: O_EXCL still keeps the name from being taken twice.
        uint64_t mix = static_cast<uint64_t>(getpid()) * 2654435761u ^ static_cast<uint64_t>(time(nullptr)) ^ ++counter;
        for (size_t i = 0; i < count; ++i, mix >>= 6)
            bytes[i] = static_cast<unsigned char>(mix);
    }
    std::string letters;
    for (size_t i = 0; i < count; ++i)
        letters.push_back(kLetters[bytes[i] % (sizeof kLetters - 1)]);
    return letters;
}

// A new file in the directory, named as kTemporaryMark says, readable by its
// owner only until it takes the old file's place. NAME is cut where the whole
// name would be longer than a directory entry allows.
int CreateTemporary(int directory, const std::string &name, std::string &temporary, FileDescriptor &file)
{
    size_t room = NAME_MAX - 1 - kTemporaryMark.size() - kTemporaryRandomLength;
    std::string prefix = "." + name.substr(0, room) + std::string(kTemporaryMark);
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary = prefix + RandomLetters(kTemporaryRandomLength);
        file = FileDescriptor(
            openat(directory, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (file.Get() >= 0)
            return 0;
        if (errno != EEXIST)
            return errno;
    }
    return EEXIST;
}

// Names of the file's extended attributes (ACLs and security labels among
// them); none where the file system has none.
int ListAttributes(int fd, std::vector<std::string> &names)
{
    names.clear();
    std::string list;
    for (;;) {
        ssize_t size = flistxattr(fd, nullptr, 0);
        if (size < 0)
            return errno == ENOTSUP ? 0 : errno;
        list.resize(static_cast<size_t>(size));
        size = flistxattr(fd, list.data(), list.size());
        if (size >= 0) {
            list.resize(static_cast<size_t>(size));
            break;
        }
        if (errno != ERANGE)  // grown since asked
            return errno;
    }
    for (size_t at = 0; at < list.size();) {
        size_t end = list.find('\0', at);
        if (end == std::string::npos)
            end = list.size();
        if (end > at)
            names.emplace_back(list, at, end - at);
        at = end + 1;
    }
    return 0;
}

int ReadAttribute(int fd, const std::string &name, std::string &value)
{
    for (;;) {
        ssize_t size = fgetxattr(fd, name.c_str(), nullptr, 0);
        if (size < 0)
            return errno;
        value.resize(static_cast<size_t>(size));
        size = fgetxattr(fd, name.c_str(), value.data(), value.size());
        if (size >= 0) {
            value.resize(static_cast<size_t>(size));
            return 0;
        }
        if (errno != ERANGE)
            return errno;
    }
}

// An error in giving the new file something of the old one: `refusal` when
// the system refuses that itself, else the error as it is (a full disk, an
// I/O error, ...).
int CarryOverError(int error, int refusal)
{
    return error == EPERM || error == EACCES || error == ENOTSUP ? refusal : error;
}

// Gives `target` exactly the extended attributes of `source`: the new file
// may have inherited a default ACL from the directory that the old one did
// not have.
int CopyAttributes(int source, int target)
{
    std::vector<std::string> wanted, present;
    int error = ListAttributes(source, wanted);
    if (error == 0)
        error = ListAttributes(target, present);
    for (const std::string &name : present) {
        if (error == 0 && std::find(wanted.begin(), wanted.end(), name) == wanted.end() &&
            fremovexattr(target, name.c_str()) != 0)
            error = errno;
    }
    std::string value;
    for (const std::string &name : wanted) {
        if (error == 0)
            error = ReadAttribute(source, name, value);
        if (error == 0 && fsetxattr(target, name.c_str(), value.data(), value.size(), 0) != 0)
            error = errno;
    }
    return CarryOverError(error, kAttributesNotKept);
}

// Gives the new file the old one's owner, group, extended attributes and mode
// bits, in that order: a change of owner clears the set-user-ID and
// set-group-ID bits, and an ACL sets the group bits.
int CarryOver(int source, const struct stat &from, int target)
{
    struct stat now;
    if (fstat(target, &now) != 0)
        return errno;
    if ((now.st_uid != from.st_uid || now.st_gid != from.st_gid) && fchown(target, from.st_uid, from.st_gid) != 0)
        return CarryOverError(errno, kOwnerNotKept);
    int error = CopyAttributes(source, target);
    if (error != 0)
        return error;
    if (fchmod(target, from.st_mode & 07777) != 0)
        return CarryOverError(errno, kOwnerNotKept);
    if (fstat(target, &now) != 0)
        return errno;
    // The system drops a set-group-ID bit that the caller may not set.
    return (now.st_mode & 07777) == (from.st_mode & 07777) ? 0 : kOwnerNotKept;
}

// The inode flags that users set (chattr's s u c S d A j t C x P m), which a
// file keeps when replaced; the others are the file system's own.
constexpr int kCarriedInodeFlags = FS_SECRM_FL | FS_UNRM_FL | FS_COMPR_FL | FS_SYNC_FL | FS_NODUMP_FL | FS_NOATIME_FL |
                                   FS_JOURNAL_DATA_FL | FS_NOTAIL_FL | FS_NOCOW_FL | FS_DAX_FL | FS_PROJINHERIT_FL |
                                   FS_NOCOMP_FL;


bool NoSuchIoctl(int error) { return error == ENOTTY || error == ENOTSUP; }

int ReadInodeFlags(int fd, InodeFlags &read)
{
    int flags = 0;
    if (ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0)
        read.flags = flags;
    else if (!NoSuchIoctl(errno))
        return errno;
    struct fsxattr attributes = {};
    if (ioctl(fd, FS_IOC_FSGETXATTR, &attributes) == 0)
        read.projectId = attributes.fsx_projid;
    else if (!NoSuchIoctl(errno))
        return errno;
    return 0;
}

// Gives the empty new file the old one's flags, and no other (a new file
// inherits some from its directory), and its project ID, and reads them
// back: a file system may drop a flag without a word.
int GiveInodeFlags(int target, const InodeFlags &wanted)
{
    // What refuses a flag: also EINVAL, for a flag that this file cannot have.
    auto refused = [](int error) { return CarryOverError(error == EINVAL ? EPERM : error, kFlagsNotKept); };
    if (wanted.flags) {
        int now = 0;
        if (ioctl(target, FS_IOC_GETFLAGS, &now) != 0)
            return refused(errno);
        int flags = (now & ~kCarriedInodeFlags) | (*wanted.flags & kCarriedInodeFlags);
        if (flags != now) {
            if (ioctl(target, FS_IOC_SETFLAGS, &flags) != 0)
                return refused(errno);
            if (ioctl(target, FS_IOC_GETFLAGS, &now) != 0)
                return errno;
            if ((now ^ flags) & kCarriedInodeFlags)
                return kFlagsNotKept;
        }
    }
    if (wanted.projectId) {
        struct fsxattr attributes = {};
        if (ioctl(target, FS_IOC_FSGETXATTR, &attributes) != 0)
            return refused(errno);
        if (attributes.fsx_projid != *wanted.projectId) {
            attributes.fsx_projid = *wanted.projectId;
            if (ioctl(target, FS_IOC_FSSETXATTR, &attributes) != 0)
                return refused(errno);
            if (ioctl(target, FS_IOC_FSGETXATTR, &attributes) != 0)
                return errno;
            if (attributes.fsx_projid != *wanted.projectId)
                return kFlagsNotKept;
        }
    }
    return 0;
}

// Whether the name still holds the file that was read (or still nothing).
int NameStillHolds(int directory, const std::string &name, const std::optional<FileIdentity> &original)
{
    struct stat st;
    if (fstatat(directory, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno != ENOENT ? errno : original ? kFileChanged : 0;
    return original && S_ISREG(st.st_mode) && FileIdentity::Of(st) == *original ? 0 : kFileChanged;
}

// Whether new files may be made and removed in the directory: one that is
// immutable or append-only would refuse the rename, and the removal of the
// temporary file after it, so it is refused before anything is written.
int DirectoryTakesNewFiles(int directory)
{
    struct statx attributes = {};
    if (statx(directory, "", AT_EMPTY_PATH, 0, &attributes) != 0)
        return errno == ENOSYS ? 0 : errno;
    const __u64 kRefusing = STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND;
    return attributes.stx_attributes & attributes.stx_attributes_mask & kRefusing ? EPERM : 0;
}

// Takes this run's turn on the file that was read, for as long as the
// descriptor stays open: an exclusive flock, as runs of this program take,
// once no other program holds a POSIX write lock on it either. Another
// program's lock is waited for LOCK_WAIT_MS.
int TakeTurn(int source)
{
    const int kPollMs = 10;
    for (int waited = 0;; waited += kPollMs) {
        if (StopSignalError() != 0)
            return StopSignalError();
        bool ours = flock(source, LOCK_EX | LOCK_NB) == 0;
        if (!ours && errno != EWOULDBLOCK)
            return errno;
        struct flock theirs = {};
        theirs.l_type = F_RDLCK;  // what a write lock of theirs would refuse
        theirs.l_whence = SEEK_SET;
        if (ours && (fcntl(source, F_OFD_GETLK, &theirs) != 0 || theirs.l_type == F_UNLCK))
            return 0;
        if (waited >= static_cast<int>(LOCK_WAIT_MS))
            return kFileLocked;
        struct timespec pause = {0, kPollMs * 1000000L};
        nanosleep(&pause, nullptr);
    }
}

long long Milliseconds(const struct timespec &time) { return time.tv_sec * 1000LL + time.tv_nsec / 1000000; }

// Whether the time of the file that was read may hide a change made since
// (RacilyRead): `madeAt` is the time of the temporary file, made in the same
// directory at `madeAtSteady` (CLOCK_MONOTONIC).
bool RacilyReadFile(const FileVersion &read, const struct timespec &madeAt, const struct timespec &madeAtSteady)
{
    long long sinceRead = Milliseconds(madeAtSteady) - Milliseconds(read.readAtSteady);
    return RacilyRead(Milliseconds(read.identity.modified), Milliseconds(read.readAt),
                      Milliseconds(madeAt) - sinceRead);
}

// Whether the file still holds exactly the bytes that were read.
int StillHoldsTheBytesRead(int source, std::string_view bytes)
{
    const size_t kPiece = size_t(1) << 20;
    std::vector<char> buffer(std::min(kPiece, bytes.size()) + 1);
    for (size_t at = 0;;) {
        ssize_t got = pread(source, buffer.data(), std::min(kPiece, bytes.size() - at) + 1, static_cast<off_t>(at));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return errno;
        size_t same = std::min(static_cast<size_t>(got), bytes.size() - at);
        if (bytes.compare(at, same, buffer.data(), same) != 0 || (same == 0 && got > 0))
            return kFileChanged;
        if (got == 0)
            return at == bytes.size() ? 0 : kFileChanged;
        at += same;
        if (static_cast<size_t>(got) > same)
            return kFileChanged;  // longer than what was read
    }
}

void SyncDirectory(int directory)
{
    // The rename is done; a failure here cannot be undone.
    FileDescriptor fd(openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.Get() >= 0)
        fsync(fd.Get());
}

}  // namespace

const char *FileErrorText(int error)
{
    switch (error) {
    case kFileChanged:
        return FILE_CHANGED_MESSAGE;
    case kForeignLink:
        return "its path goes through a symbolic link that belongs to another user";
    case kOwnerNotKept:
        return "its owner, group and permissions cannot be kept";
    case kAttributesNotKept:
        return "its ACL and extended attributes cannot be kept";
    case kFlagsNotKept:
        return "its inode flags and project ID cannot be kept";
    case kLinkToFile:
        return "its path ends in a /proc link to a file, which names no directory to replace it in";
    case kFileLocked:
        return FILE_LOCKED_MESSAGE;
    case kFifo:
        return "it is a FIFO, not a regular file";
    case kSocket:
        return "it is a socket, not a regular file";
    case kDevice:
        return "it is a device, not a regular file";
    case kPseudoFile:
        return "it is a file of /proc or /sys, not a regular file on a disk";
    case kUtf16:
        return "the file is UTF-16, which this build does not edit";
    default:
        // The signal's own description ("Terminated", "Interrupt", ...).
        return error > kStoppedBySignal && error < kStoppedBySignal + NSIG ? strsignal(error - kStoppedBySignal)
                                                                           : nullptr;
    }
}

FileDescriptor &FileDescriptor::operator=(FileDescriptor &&other) noexcept
{
    if (this != &other) {
        if (fd_ >= 0)
            close(fd_);
        fd_ = other.Release();
    }
    return *this;
}

FileDescriptor::~FileDescriptor()
{
    if (fd_ >= 0)
        close(fd_);
}

int FileDescriptor::Release()
{
    int fd = fd_;
    fd_ = -1;
    return fd;
}

FileBytes::FileBytes(size_t size) : size_(size)
{
    if (size == 0)
        return;
    // Huge pages only pay for a large file: a small one would fault in a
    // whole huge page. The buffer starts on a huge page boundary, so that all
    // of it can be given huge pages.
    const size_t kHugePage = size_t(2) << 20;
    bool huge = size >= kHugePage;
    mappingSize_ = size + (huge ? kHugePage : 0);
    if (mappingSize_ < size)
        throw std::bad_alloc();
    mapping_ = mmap(nullptr, mappingSize_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping_ == MAP_FAILED) {
        mapping_ = nullptr;
        throw std::bad_alloc();
    }
    uintptr_t begin = reinterpret_cast<uintptr_t>(mapping_);
    if (huge) {
        begin = (begin + kHugePage - 1) & ~(kHugePage - 1);
        madvise(reinterpret_cast<void *>(begin), size, MADV_HUGEPAGE);  // a hint: failure is harmless
    }
    data_ = reinterpret_cast<char *>(begin);
}

FileBytes &FileBytes::operator=(FileBytes &&other) noexcept
{
    if (this != &other) {
        if (mapping_ != nullptr)
            munmap(mapping_, mappingSize_);
        mapping_ = std::exchange(other.mapping_, nullptr);
        mappingSize_ = std::exchange(other.mappingSize_, 0);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

FileBytes::~FileBytes()
{
    if (mapping_ != nullptr)
        munmap(mapping_, mappingSize_);
}

bool FileIdentity::operator==(const FileIdentity &other) const
{
    return device == other.device && inode == other.inode && size == other.size &&
           modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec;
}

int ResolveFileLocation(const std::string &path, FileLocation &location)
{
    if (path.empty())
        return ENOENT;
    // Walked one name at a time, each opened without following it: a link
    // is read and its target's names take its place, so that every link is
    // seen, and judged, exactly once.
    std::deque<std::string> names = NamesOf(path);
    FileDescriptor directory(open(path[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (directory.Get() < 0)
        return errno;
    int links = 0;
    while (!names.empty()) {
        std::string name = std::move(names.front());
        names.pop_front();
        FileDescriptor entry(openat(directory.Get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat st;
        if (entry.Get() < 0 || fstat(entry.Get(), &st) != 0) {
            if (errno != ENOENT || !names.empty())
                return errno;
            location.name = std::move(name);  // a file yet to be made
            break;
        }
        if (S_ISLNK(st.st_mode)) {
            if (++links > kMaxLinks)
                return ELOOP;
            // Root must not be steered by another user's link onto a file
            // that only root may write.
            if (geteuid() == 0 && st.st_uid != 0)
                return kForeignLink;
            struct statfs fileSystem;
            if (fstatfs(entry.Get(), &fileSystem) != 0)
                return errno;
            if (fileSystem.f_type == PROC_SUPER_MAGIC) {
                // A process's root, working directory or open file: the text
                // names it in that process's view, or not at all. The kernel
                // follows it; the name cannot have changed meanwhile, as
                // /proc's directories are the kernel's own.
                entry = FileDescriptor(openat(directory.Get(), name.c_str(), O_PATH | O_CLOEXEC));
                if (entry.Get() < 0 || fstat(entry.Get(), &st) != 0)
                    return errno;
                if (!S_ISDIR(st.st_mode))
                    return names.empty() ? kLinkToFile : ENOTDIR;
                if (names.empty())
                    return EISDIR;
                directory = std::move(entry);
                continue;
            }
            std::string target;
            int error = ReadLink(entry.Get(), target);
            if (error != 0)
                return error;
            std::deque<std::string> targetNames = NamesOf(target);
            names.insert(names.begin(), targetNames.begin(), targetNames.end());
            if (!target.empty() && target[0] == '/') {
                directory = FileDescriptor(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
                if (directory.Get() < 0)
                    return errno;
            }
            if (names.empty())
                return EISDIR;  // a link to "/" or "."
            continue;
        }
        if (names.empty()) {
            location.name = std::move(name);
            break;
        }
        if (!S_ISDIR(st.st_mode))
            return ENOTDIR;
        directory = std::move(entry);
    }
    if (location.name.empty())
        return EISDIR;  // "/" or "."
    location.directory = std::move(directory);
    return 0;
}

// Why a file of this type is not read: only regular files are.
static int NotRegular(mode_t mode)
{
    return S_ISDIR(mode) ? EISDIR : S_ISFIFO(mode) ? kFifo : S_ISSOCK(mode) ? kSocket : kDevice;
}

int ReadFileContent(const FileLocation &location, FileBytes &content, FileVersion &version)
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
        return NotRegular(st.st_mode);
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
    content = FileBytes(static_cast<size_t>(opened.st_size));
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

int HoldFile(const FileLocation &location, const FileVersion &version, HeldFile &held)
{
    int directory = location.directory.Get();
    held.descriptor =
        FileDescriptor(openat(directory, location.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (held.descriptor.Get() < 0)
        return errno == ENOENT || errno == ELOOP ? kFileChanged : errno;
    if (fstat(held.descriptor.Get(), &held.status) != 0)
        return errno;
    if (!S_ISREG(held.status.st_mode) || FileIdentity::Of(held.status) != version.identity)
        return kFileChanged;
    int error = ReadInodeFlags(held.descriptor.Get(), held.flags);
    if (error != 0)
        return error;
    // Renaming over such a file is refused, to root too: refused here
    // before anything is written.
    if (held.flags.flags.value_or(0) & (FS_IMMUTABLE_FL | FS_APPEND_FL))
        return EPERM;
    error = DirectoryTakesNewFiles(directory);
    // A run that waited for its turn finds the file replaced by the run
    // before it, and reads that one's result.
    if (error == 0)
        error = TakeTurn(held.descriptor.Get());
    if (error == 0)
        error = NameStillHolds(directory, location.name, version.identity);
    return error;
}

int ReplaceFileContent(const FileLocation &location, const HeldFile *held, const FileVersion *version,
                       std::string_view bytesRead, const std::vector<std::string_view> &pieces)
{
    int directory = location.directory.Get();
    std::optional<FileIdentity> identity;
    if (version != nullptr)
        identity = version->identity;
    InodeFlags none;
    const InodeFlags &flags = held != nullptr ? held->flags : none;
    int error = held != nullptr ? 0 : DirectoryTakesNewFiles(directory);
    if (error == 0)
        error = StopSignalError();
    if (error != 0)
        return error;

    std::string temporary;
    FileDescriptor file;
    {
        StopSignalsHeld held;
        error = CreateTemporary(directory, location.name, temporary, file);
        if (error == 0)
            NoteTemporaryFile(directory, temporary);
    }
    if (error != 0)
        return error;
    // The file system's time now, for telling whether the file's own time
    // can be trusted.
    struct timespec madeAt = {};
    clock_gettime(CLOCK_MONOTONIC, &madeAt);
    struct stat made = {};
    if (fstat(file.Get(), &made) != 0)
        error = errno;
    // Before the first byte: some flags take only on an empty file.
    if (error == 0)
        error = GiveInodeFlags(file.Get(), flags);
    for (size_t i = 0; error == 0 && i < pieces.size(); ++i) {
        error = StopSignalError();
        if (error == 0)
            error = WriteAll(file.Get(), pieces[i]);
    }
    // After the writes: a write drops file capabilities and set-user-ID bits.
    if (error == 0)
        error = held != nullptr ? CarryOver(held->descriptor.Get(), held->status, file.Get())
                                : fchmod(file.Get(), NewFileMode()) == 0 ? 0 : errno;
    if (error == 0)
        error = StopSignalError();
    if (error == 0 && fsync(file.Get()) != 0)
        error = errno;
    if (close(file.Release()) != 0 && error == 0)
        error = errno;
    if (error == 0)
        error = NameStillHolds(directory, location.name, identity);
    if (error == 0 && held != nullptr && version != nullptr && RacilyReadFile(*version, made.st_mtim, madeAt))
        error = StillHoldsTheBytesRead(held->descriptor.Get(), bytesRead);
    // The last moment to stop: from the rename on, the update is complete.
    if (error == 0)
        error = StopSignalError();
    if (error == 0 && renameat(directory, temporary.c_str(), directory, location.name.c_str()) != 0)
        error = errno;
    if (error != 0)
        unlinkat(directory, temporary.c_str(), 0);
    ForgetTemporaryFile();
    if (error == 0)
        SyncDirectory(directory);
    return error;
}

}  // namespace emsgraft

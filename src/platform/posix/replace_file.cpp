#include "platform/posix/replace_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

namespace emsgraft {
namespace {

bool WriteAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        ssize_t written = write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(written));
    }
    return true;
}

// The file that a write through `path` lands in: a symbolic link's target.
bool ResolveTarget(const std::string &path, std::string &target)
{
    std::unique_ptr<char, decltype(&free)> real(realpath(path.c_str(), nullptr), &free);
    if (real) {
        target = real.get();
        return true;
    }
    int error = errno;
    struct stat st;
    if (error == ENOENT && lstat(path.c_str(), &st) != 0 && errno == ENOENT) {
        target = path;  // a new file
        return true;
    }
    errno = error;
    return false;
}

mode_t NewFileMode()
{
    mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

void SyncDirectory(const std::string &directory)
{
    int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);  // the rename is done; a failure here cannot be undone
        close(fd);
    }
}

// Faulting in a large buffer 4 KiB at a time costs more than reading the file
// into it; huge pages, where the system offers them on request, cut that to
// a few faults. Only whole aligned huge pages inside the buffer are advised.
void AdviseHugePages(char *begin, size_t size)
{
    const uintptr_t kHugePage = 2u << 20;
    uintptr_t first = (reinterpret_cast<uintptr_t>(begin) + kHugePage - 1) & ~(kHugePage - 1);
    uintptr_t last = (reinterpret_cast<uintptr_t>(begin) + size) & ~(kHugePage - 1);
    if (last > first)
        madvise(reinterpret_cast<void *>(first), last - first, MADV_HUGEPAGE);  // a hint: failure is harmless
}

}  // namespace

bool ReplaceFileContent(const std::string &path, const std::vector<std::string_view> &pieces)
{
    std::string target;
    if (!ResolveTarget(path, target))
        return false;

    struct stat original;
    bool exists = stat(target.c_str(), &original) == 0;
    if (!exists && errno != ENOENT)
        return false;
    if (exists && !S_ISREG(original.st_mode)) {
        errno = S_ISDIR(original.st_mode) ? EISDIR : EINVAL;
        return false;
    }

    size_t slash = target.rfind('/');
    std::string directory = slash == std::string::npos ? "." : target.substr(0, slash == 0 ? 1 : slash);
    std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    std::string temporary = directory + "/." + name + ".emsgraft-XXXXXX";
    int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return false;

    bool ok = fchmod(fd, exists ? original.st_mode & 07777 : NewFileMode()) == 0;
    if (ok && exists && (original.st_uid != geteuid() || original.st_gid != getegid())) {
        // Only a privileged user may give the file away; others keep their own.
        (void)!fchown(fd, original.st_uid, original.st_gid);
    }
    for (size_t i = 0; ok && i < pieces.size(); ++i)
        ok = WriteAll(fd, pieces[i]);
    ok = ok && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    ok = ok && rename(temporary.c_str(), target.c_str()) == 0;
    if (!ok) {
        int error = errno;
        unlink(temporary.c_str());
        errno = error;
        return false;
    }
    SyncDirectory(directory);
    return true;
}

int ReadFileContent(const std::string &path, std::string &content)
{
    // Non-blocking, so that a FIFO does not hang the open.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return errno;
    struct stat st;
    int error = 0;
    if (fstat(fd, &st) != 0)
        error = errno;
    else if (!S_ISREG(st.st_mode))
        error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    content.clear();
    if (!error) {
        content.reserve(static_cast<size_t>(st.st_size));
        AdviseHugePages(content.data(), content.capacity());
    }
    char buffer[1 << 16];
    while (!error) {
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            error = errno;
        else if (got == 0)
            break;
        else
            content.append(buffer, static_cast<size_t>(got));
    }
    close(fd);
    return error;
}

}  // namespace emsgraft

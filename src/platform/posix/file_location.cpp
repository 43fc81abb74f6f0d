#include "platform/posix/file_location.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <deque>
#include <string_view>

#include "platform/posix/file_errors.h"

namespace emsgraft {
namespace {

constexpr int kMaxLinks = 40;  // as many as the kernel follows in one path

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

}  // namespace

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

}  // namespace emsgraft

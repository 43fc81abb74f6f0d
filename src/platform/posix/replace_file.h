// Reading and replacing one file safely in a directory that others may write.
//
// The calling sequence:
//   ResolveFileLocation   once: follows the path's symbolic links and keeps
//                         the directory that holds the file open;
//   ReadFileContent       reads the file through that directory, without
//                         following a link, and notes which file it read;
//   CheckFileWritable     before the first change: the file itself may be
//                         written, as opening it for writing would tell;
//   ReplaceFileContent    writes the new content beside the file, flushes it,
//                         gives it the old file's inode flags, owner, mode,
//                         ACL and extended attributes, checks that the name
//                         still holds the file that was read, and renames it
//                         over that name.
// Every step works on the directory found by ResolveFileLocation, whatever
// becomes of the path's names meanwhile. Each returns 0 or an error number:
// an errno value or one of the FileError values below.
#ifndef EMSGRAFT_PLATFORM_POSIX_REPLACE_FILE_H
#define EMSGRAFT_PLATFORM_POSIX_REPLACE_FILE_H

#include <linux/types.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace emsgraft {

// Errors that no errno value describes; above the range errno values use.
enum FileError : int {
    kFileChanged = 0x10000,  // the name no longer holds the file that was read
    kForeignLink,            // root asked to follow another user's symbolic link
    kOwnerNotKept,           // owner, group or mode bits cannot be given to the new file
    kAttributesNotKept,      // an ACL or extended attribute cannot be given to the new file
    kFlagsNotKept,           // an inode flag or the project ID cannot be given to the new file
    kLinkToFile,             // the path ends in a /proc link to a file: no directory to replace it in
    kFileLocked,             // another program kept its lock on the file
    kFifo,                   // the path names a FIFO ...
    kSocket,                 // ... a socket ...
    kDevice,                 // ... a device ...
    kPseudoFile,             // ... or a file of /proc or /sys, not a regular file on a disk
    kUtf16,                  // a UTF-16 file, which this layer reads but does not write
};
// Plus a signal's number: the update was stopped by that signal.
constexpr int kStoppedBySignal = 0x10100;
// The text of a FileError, or nullptr for an errno value.
const char *FileErrorText(int error);

// An open file descriptor, closed with its owner.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    FileDescriptor(FileDescriptor &&other) noexcept : fd_(other.Release()) {}
    FileDescriptor &operator=(FileDescriptor &&other) noexcept;
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    ~FileDescriptor();
    int Get() const { return fd_; }
    int Release();

private:
    int fd_;
};

// A file's bytes in memory: one buffer of the file's size, on huge pages
// where the system gives them on request, as faulting in a large buffer 4 KiB
// at a time costs more than reading the file into it.
class FileBytes {
public:
    FileBytes() = default;
    explicit FileBytes(size_t size);  // throws std::bad_alloc
    explicit FileBytes(std::string_view bytes) : FileBytes(bytes.size()) { bytes.copy(data_, size_); }
    FileBytes(FileBytes &&other) noexcept { *this = std::move(other); }
    FileBytes &operator=(FileBytes &&other) noexcept;
    FileBytes(const FileBytes &) = delete;
    FileBytes &operator=(const FileBytes &) = delete;
    ~FileBytes();
    char *Data() { return data_; }
    size_t Size() const { return size_; }
    std::string_view View() const { return std::string_view(data_, size_); }

private:
    void *mapping_ = nullptr;
    size_t mappingSize_ = 0;
    char *data_ = nullptr;
    size_t size_ = 0;
};

// ReplaceFileContent writes the new content to a temporary file beside the
// file, named "." NAME kTemporaryMark and six random letters.
constexpr std::string_view kTemporaryMark = ".emsgraft-";

// The file's directory, held open, and its name in it (never a link).
struct FileLocation {
    FileDescriptor directory;
    std::string name;
};

// What tells one version of a file from another.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    struct timespec modified = {};

    static FileIdentity Of(const struct stat &st) { return FileIdentity{st.st_dev, st.st_ino, st.st_size, st.st_mtim}; }
    bool operator==(const FileIdentity &other) const;
    bool operator!=(const FileIdentity &other) const { return !(*this == other); }
};

// Follows every symbolic link of `path`, the last name's included, once. Run
// by root, a link that belongs to another user is refused (kForeignLink).
// A last name that does not exist is no error: the location names it. A link
// on /proc (a process's root, working directory or open file) is followed
// by the kernel, as its text does not say where it leads.
int ResolveFileLocation(const std::string &path, FileLocation &location);

// Which file was read, and when: this machine's clocks just before its
// times were taken.
struct FileVersion {
    FileIdentity identity;
    struct timespec readAt = {};        // CLOCK_REALTIME
    struct timespec readAtSteady = {};  // CLOCK_MONOTONIC
};

// Reads the whole regular file into `content` and notes its version. ENOENT
// when there is no such file, EISDIR for a directory, kFifo, kSocket, kDevice
// or kPseudoFile for what is not a regular file on a disk (told before it is
// opened), kFileChanged when it changes while read.
int ReadFileContent(const FileLocation &location, FileBytes &content, FileVersion &version);

// Whether the file that was read may be written by this process.
int CheckFileWritable(const FileLocation &location, const FileIdentity &identity);

// A file's inode flags and project ID; none where the file system has none.
struct InodeFlags {
    std::optional<int> flags;
    std::optional<__u32> projectId;
};

// The file that an update read, held open from before its replacement is
// written to the rename: the lock that runs of this program take turns
// with, and what the new file carries over from it.
struct HeldFile {
    FileDescriptor descriptor;
    struct stat status = {};
    InodeFlags flags;
};

// Holds the file that was read (`version`) for its replacement. It must
// still be that file, and neither it nor its directory immutable or
// append-only (EPERM), as they would refuse the rename or the removal of the
// temporary file after a failure. Then takes this run's turn: an exclusive
// flock, once no other program holds one or a POSIX write lock; another
// program's lock is waited for LOCK_WAIT_MS, then kFileLocked. A run that
// waited finds the file replaced (kFileChanged).
int HoldFile(const FileLocation &location, const FileVersion &version, HeldFile &held);

// Replaces the file that was read (`version`, which held `bytesRead`, held
// in `held`; none for a file to create) with `pieces`, one after the other.
// On failure the file and its directory are as they were. A file whose time
// cannot tell a change made since it was read (RacilyRead) is compared by
// content before the rename. Between its steps it fails with the
// StopSignalError of a signal that came meanwhile; after the rename nothing
// stops it.
int ReplaceFileContent(const FileLocation &location, const HeldFile *held, const FileVersion *version,
                       std::string_view bytesRead, const std::vector<std::string_view> &pieces);

}  // namespace emsgraft

#endif

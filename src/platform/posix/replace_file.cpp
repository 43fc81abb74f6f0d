#include "platform/posix/replace_file.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/fs.h>
#include <stdint.h>
#include <sys/file.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "platform/base.h"
#include "platform/posix/file_errors.h"
#include "platform/posix/stop_signals.h"

namespace emsgraft {
namespace {

constexpr size_t kTemporaryRandomLength = 6;

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

int ReplaceFileContent(const FileLocation &location, const HeldFile &held, const FileVersion &version,
                       std::string_view bytesRead, const std::vector<std::string_view> &pieces)
{
    int directory = location.directory.Get();
    int error = StopSignalError();
    if (error != 0)
        return error;

    std::string temporary;
    FileDescriptor file;
    {
        StopSignalsHeld signalsHeld;
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
        error = GiveInodeFlags(file.Get(), held.flags);
    for (size_t i = 0; error == 0 && i < pieces.size(); ++i) {
        error = StopSignalError();
        if (error == 0)
            error = WriteAll(file.Get(), pieces[i]);
    }
    // After the writes: a write drops file capabilities and set-user-ID bits.
    if (error == 0)
        error = CarryOver(held.descriptor.Get(), held.status, file.Get());
    if (error == 0)
        error = StopSignalError();
    if (error == 0 && fsync(file.Get()) != 0)
        error = errno;
    if (close(file.Release()) != 0 && error == 0)
        error = errno;
    if (error == 0)
        error = NameStillHolds(directory, location.name, version.identity);
    if (error == 0 && RacilyReadFile(version, made.st_mtim, madeAt))
        error = StillHoldsTheBytesRead(held.descriptor.Get(), bytesRead);
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

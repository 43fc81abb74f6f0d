// The second step of an update on POSIX: reading the file, in the directory
// found by ResolveFileLocation, and telling later whether it is still the
// version read.
#ifndef EMSGRAFT_PLATFORM_POSIX_FILE_READ_H
#define EMSGRAFT_PLATFORM_POSIX_FILE_READ_H

#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <string>

#include "platform/posix/file_location.h"

namespace emsgraft {

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
int ReadFileContent(const FileLocation &location, ByteBuffer &content, FileVersion &version);

// Whether the file that was read may be written by this process, as
// opening it for writing would tell; kFileChanged when it is gone.
int CheckFileWritable(const FileLocation &location, const FileIdentity &identity);

// Whether the name still holds the file that was read.
int NameStillHolds(int directory, const std::string &name, const FileIdentity &original);

}  // namespace emsgraft

#endif

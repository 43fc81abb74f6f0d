// The last step of an update on POSIX: holding the file that was read and
// putting a new file in its place, atomically and durably, with all that
// the old file carried beside its content.
#ifndef EMSGRAFT_PLATFORM_POSIX_REPLACE_FILE_H
#define EMSGRAFT_PLATFORM_POSIX_REPLACE_FILE_H

#include <sys/stat.h>

#include <string_view>
#include <vector>

#include "platform/posix/carry_over.h"
#include "platform/posix/file_location.h"
#include "platform/posix/file_read.h"

namespace emsgraft {

// ReplaceFileContent writes the new content to a temporary file beside the
// file, named "." NAME kTemporaryMark and six random letters.
constexpr std::string_view kTemporaryMark = ".emsgraft-";

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
// in `held`) with `pieces`, one after the other:
// a temporary file beside it, given what the old file carries, fsync,
// renameat, fsync of the directory. On failure the file and its directory
// are as they were. A file whose time cannot tell a change made since it was
// read (RacilyRead) is compared by content before the rename. Between its
// steps it fails with the StopSignalError of a signal that came meanwhile;
// after the rename nothing stops it.
int ReplaceFileContent(const FileLocation &location, const HeldFile &held, const FileVersion &version,
                       std::string_view bytesRead, const std::vector<std::string_view> &pieces);

}  // namespace emsgraft

#endif

// The errors of the POSIX layer that no errno value describes, and the texts
// of them all. Every operation of the layer returns 0, an errno value or one
// of these.
#ifndef EMSGRAFT_PLATFORM_POSIX_FILE_ERRORS_H
#define EMSGRAFT_PLATFORM_POSIX_FILE_ERRORS_H

namespace emsgraft {

// Above the range errno values use.
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

}  // namespace emsgraft

#endif

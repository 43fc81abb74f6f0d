#include "platform/posix/file_errors.h"

#include <signal.h>
#include <string.h>

#include "platform/base.h"

namespace emsgraft {

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

}  // namespace emsgraft

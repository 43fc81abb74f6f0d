// The first step of an update on POSIX: following a path, once, to the
// directory that holds the file. Every later step works in that directory,
// whatever becomes of the path's names meanwhile.
#ifndef EMSGRAFT_PLATFORM_POSIX_FILE_LOCATION_H
#define EMSGRAFT_PLATFORM_POSIX_FILE_LOCATION_H

#include <string>

#include "platform/posix/owned.h"

namespace emsgraft {

// The file's directory, held open, and its name in it (never a link).
struct FileLocation {
    FileDescriptor directory;
    std::string name;
};

// Follows every symbolic link of `path`, the last name's included, once. Run
// by root, a link that belongs to another user is refused (kForeignLink).
// A last name that does not exist is no error: the location names it. A link
// on /proc (a process's root, working directory or open file) is followed
// by the kernel, as its text does not say where it leads.
int ResolveFileLocation(const std::string &path, FileLocation &location);

}  // namespace emsgraft

#endif

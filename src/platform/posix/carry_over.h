// What a new file takes from the file it replaces on POSIX, beside the
// content: owner, group, mode bits, ACL and extended attributes, inode flags
// and project ID.
#ifndef EMSGRAFT_PLATFORM_POSIX_CARRY_OVER_H
#define EMSGRAFT_PLATFORM_POSIX_CARRY_OVER_H

#include <linux/types.h>
#include <sys/stat.h>

#include <optional>

namespace emsgraft {

// A file's inode flags and project ID; none where the file system has none.
struct InodeFlags {
    std::optional<int> flags;
    std::optional<__u32> projectId;
};

int ReadInodeFlags(int fd, InodeFlags &read);

// Gives the empty new file `target` the old one's flags, and no other (a
// new file inherits some from its directory), and its project ID, and reads
// them back: a file system may drop a flag without a word.
int GiveInodeFlags(int target, const InodeFlags &wanted);

// Gives the new file `target` the owner, group, extended attributes and mode
// bits of `source` (whose status is `from`). What the system refuses is
// kOwnerNotKept or kAttributesNotKept; any other failure (a full disk, an
// I/O error) is told as itself.
int CarryOver(int source, const struct stat &from, int target);

}  // namespace emsgraft

#endif

#include "platform/posix/carry_over.h"

#include <errno.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/posix/file_errors.h"

namespace emsgraft {
namespace {

// Names of the file's extended attributes (ACLs and security labels among
// them); none where the file system has none.
int ListAttributes(int fd, std::vector<std::string> &names)
{
    names.clear();
    std::string list;
    for (;;) {
        ssize_t size = flistxattr(fd, nullptr, 0);
        if (size < 0)
            return errno == ENOTSUP ? 0 : errno;
        list.resize(static_cast<size_t>(size));
        size = flistxattr(fd, list.data(), list.size());
        if (size >= 0) {
            list.resize(static_cast<size_t>(size));
            break;
        }
        if (errno != ERANGE)  // grown since asked
            return errno;
    }
    for (size_t at = 0; at < list.size();) {
        size_t end = list.find('\0', at);
        if (end == std::string::npos)
            end = list.size();
        if (end > at)
            names.emplace_back(list, at, end - at);
        at = end + 1;
    }
    return 0;
}

int ReadAttribute(int fd, const std::string &name, std::string &value)
{
    for (;;) {
        ssize_t size = fgetxattr(fd, name.c_str(), nullptr, 0);
        if (size < 0)
            return errno;
        value.resize(static_cast<size_t>(size));
        size = fgetxattr(fd, name.c_str(), value.data(), value.size());
        if (size >= 0) {
            value.resize(static_cast<size_t>(size));
            return 0;
        }
        if (errno != ERANGE)
            return errno;
    }
}

// An error in giving the new file something of the old one: `refusal` when
// the system refuses that itself, else the error as it is (a full disk, an
// I/O error, ...).
int CarryOverError(int error, int refusal)
{
    return error == EPERM || error == EACCES || error == ENOTSUP ? refusal : error;
}

// Gives `target` exactly the extended attributes of `source`: the new file
// may have inherited a default ACL from the directory that the old one did
// not have.
int CopyAttributes(int source, int target)
{
    std::vector<std::string> wanted, present;
    int error = ListAttributes(source, wanted);
    if (error == 0)
        error = ListAttributes(target, present);
    for (const std::string &name : present) {
        if (error == 0 && std::find(wanted.begin(), wanted.end(), name) == wanted.end() &&
            fremovexattr(target, name.c_str()) != 0)
            error = errno;
    }
    std::string value;
    for (const std::string &name : wanted) {
        if (error == 0)
            error = ReadAttribute(source, name, value);
        if (error == 0 && fsetxattr(target, name.c_str(), value.data(), value.size(), 0) != 0)
            error = errno;
    }
    return CarryOverError(error, kAttributesNotKept);
}

// The inode flags that users set (chattr's s u c S d A j t C x P m), which a
// file keeps when replaced; the others are the file system's own.
constexpr int kCarriedInodeFlags = FS_SECRM_FL | FS_UNRM_FL | FS_COMPR_FL | FS_SYNC_FL | FS_NODUMP_FL | FS_NOATIME_FL |
                                   FS_JOURNAL_DATA_FL | FS_NOTAIL_FL | FS_NOCOW_FL | FS_DAX_FL | FS_PROJINHERIT_FL |
                                   FS_NOCOMP_FL;

bool NoSuchIoctl(int error) { return error == ENOTTY || error == ENOTSUP; }

}  // namespace

// Gives the new file the old one's owner, group, extended attributes and mode
// bits, in that order: a change of owner clears the set-user-ID and
// set-group-ID bits, and an ACL sets the group bits.
int CarryOver(int source, const struct stat &from, int target)
{
    struct stat now;
    if (fstat(target, &now) != 0)
        return errno;
    if ((now.st_uid != from.st_uid || now.st_gid != from.st_gid) && fchown(target, from.st_uid, from.st_gid) != 0)
        return CarryOverError(errno, kOwnerNotKept);
    int error = CopyAttributes(source, target);
    if (error != 0)
        return error;
    if (fchmod(target, from.st_mode & 07777) != 0)
        return CarryOverError(errno, kOwnerNotKept);
    if (fstat(target, &now) != 0)
        return errno;
    // The system drops a set-group-ID bit that the caller may not set.
    return (now.st_mode & 07777) == (from.st_mode & 07777) ? 0 : kOwnerNotKept;
}

int ReadInodeFlags(int fd, InodeFlags &read)
{
    int flags = 0;
    if (ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0)
        read.flags = flags;
    else if (!NoSuchIoctl(errno))
        return errno;
    struct fsxattr attributes = {};
    if (ioctl(fd, FS_IOC_FSGETXATTR, &attributes) == 0)
        read.projectId = attributes.fsx_projid;
    else if (!NoSuchIoctl(errno))
        return errno;
    return 0;
}

// Gives the empty new file the old one's flags, and no other (a new file
// inherits some from its directory), and its project ID, and reads them
// back: a file system may drop a flag without a word.
int GiveInodeFlags(int target, const InodeFlags &wanted)
{
    // What refuses a flag: also EINVAL, for a flag that this file cannot have.
    auto refused = [](int error) { return CarryOverError(error == EINVAL ? EPERM : error, kFlagsNotKept); };
    if (wanted.flags) {
        int now = 0;
        if (ioctl(target, FS_IOC_GETFLAGS, &now) != 0)
            return refused(errno);
        int flags = (now & ~kCarriedInodeFlags) | (*wanted.flags & kCarriedInodeFlags);
        if (flags != now) {
            if (ioctl(target, FS_IOC_SETFLAGS, &flags) != 0)
                return refused(errno);
            if (ioctl(target, FS_IOC_GETFLAGS, &now) != 0)
                return errno;
            if ((now ^ flags) & kCarriedInodeFlags)
                return kFlagsNotKept;
        }
    }
    if (wanted.projectId) {
        struct fsxattr attributes = {};
        if (ioctl(target, FS_IOC_FSGETXATTR, &attributes) != 0)
            return refused(errno);
        if (attributes.fsx_projid != *wanted.projectId) {
            attributes.fsx_projid = *wanted.projectId;
            if (ioctl(target, FS_IOC_FSSETXATTR, &attributes) != 0)
                return refused(errno);
            if (ioctl(target, FS_IOC_FSGETXATTR, &attributes) != 0)
                return errno;
            if (attributes.fsx_projid != *wanted.projectId)
                return kFlagsNotKept;
        }
    }
    return 0;
}

}  // namespace emsgraft

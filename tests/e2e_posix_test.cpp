// The program's failure handling and file care on POSIX, run as a process:
// resource limits, permissions, links, and the default path.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <thread>

#include "test_support.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define EMSGRAFT_TESTS_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(EMSGRAFT_TESTS_ASAN)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif

namespace {

// Every extended attribute of the file (its ACL among them), by name.
std::map<std::string, std::string> Attributes(const fs::path &path)
{
    std::map<std::string, std::string> attributes;
    std::string names(65536, '\0');
    ssize_t length = listxattr(path.c_str(), names.data(), names.size());
    for (size_t at = 0; length > 0 && at < static_cast<size_t>(length); at = names.find('\0', at) + 1) {
        std::string name = names.c_str() + at;
        std::string value(65536, '\0');
        ssize_t size = getxattr(path.c_str(), name.c_str(), value.data(), value.size());
        attributes[name] = value.substr(0, size < 0 ? 0 : static_cast<size_t>(size));
    }
    return attributes;
}

const std::string &kRealistic = kRealisticServiceFile;

class PosixRun : public ::testing::Test {
protected:
    ScratchDirectory dir;
    fs::path file = dir / "mapisvc.inf";

    void SetUp() override
    {
        if (UnderWine())
            GTEST_SKIP() << "POSIX build only";
        WriteBytes(file, kRealistic);
    }
    void ExpectFailedAndUntouched(const RunResult &run)
    {
        ::ExpectFailedAndUntouched(run, file.string(), {dir, file, kRealistic, std::nullopt});
    }
};

// Whether the caller ignores SIGXFSZ or not, the program is not killed
// half way through: the write fails and the update with it.
TEST_F(PosixRun, FileSizeLimitFailsTheUpdateCleanly)
{
    for (bool ignored : {true, false}) {
        RunOptions options;
        options.fileSizeLimit = kRealistic.size() + 100;  // too small for the result
        options.ignoreFileSizeSignal = ignored;
        RunResult run = RunTool({file.string()}, options);
        ExpectFailedAndUntouched(run);
        EXPECT_NE(run.output.find(": File too large\n"), std::string::npos) << run.output;
    }
}

TEST_F(PosixRun, LostStandardOutputDoesNotStopTheUpdate)
{
    RunOptions options;
    options.closedOutput = true;
    RunResult run = RunTool({file.string()}, options);
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_NE(ReadBytes(file).find("[EMSDelegate]"), std::string::npos);
}

TEST_F(PosixRun, FileTooLargeForMemoryFailsCleanly)
{
    if (kAddressSanitizer)
        GTEST_SKIP() << "the sanitizer's shadow memory needs more address space than the limit allows";
    const uintmax_t size = uintmax_t(1) << 30;
    fs::resize_file(file, size);  // sparse: takes no room on disk
    RunOptions options;
    options.addressSpaceLimit = 256 << 20;
    RunResult run = RunTool({file.string()}, options);
    EXPECT_EQ(run.output, FailedUpdate(file.string()) + "Cannot allocate memory\n");
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(fs::file_size(file), size);
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"mapisvc.inf"});
}

// The temporary file's name is cut to fit beside a name of the longest kind.
TEST_F(PosixRun, LongestFileNameIsUpdated)
{
    std::string name = std::string(251, 'n') + ".inf";
    WriteBytes(dir / name, kRealistic);
    RunOptions options;
    options.workingDirectory = dir.Path();
    RunResult run = RunTool({name}, options);
    EXPECT_EQ(run.output, Added(name));
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"mapisvc.inf", name}));
}

TEST_F(PosixRun, SucceedsAtAFileSizeLimitThatHoldsTheResult)
{
    RunOptions options;
    options.fileSizeLimit = 64 * 1024;
    options.ignoreFileSizeSignal = true;
    RunResult run = RunTool({file.string()}, options);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"mapisvc.inf"});
}

// Root reads and writes anything, so permission cases run as nobody.
class UnprivilegedRun : public PosixRun {
protected:
    ScratchDirectory programDir;  // nobody may not reach the build folder

    void SetUp() override
    {
        PosixRun::SetUp();
        if (IsSkipped())
            return;
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root to drop privileges";
        const auto reachable = fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec;
        fs::permissions(dir.Path(), reachable);
        fs::permissions(programDir.Path(), reachable);
        fs::copy_file(kBuiltProgram, programDir / "emsgraft");
    }
    RunResult RunUnprivileged()
    {
        RunOptions options;
        options.unprivileged = true;
        return RunTool(programDir / "emsgraft", {file.string()}, options);
    }
};

TEST_F(UnprivilegedRun, UnreadableFileIsNeverReplaced)
{
    fs::permissions(dir.Path(), fs::perms::all);  // the directory would allow a replacement
    fs::permissions(file, fs::perms::none);
    RunResult run = RunUnprivileged();
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
    ExpectFailedAndUntouched(run);
    EXPECT_NE(run.output.find("Permission denied"), std::string::npos) << run.output;
}

TEST_F(UnprivilegedRun, ReadOnlyFileIsNotUpdated)
{
    fs::permissions(file, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    RunResult run = RunUnprivileged();
    ExpectFailedAndUntouched(run);
}

// The directory would allow a replacement, but the file itself may not be
// written: by its owner (read-only), or by anyone without giving it away.
TEST_F(UnprivilegedRun, FileThatMayNotBeWrittenIsNotReplaced)
{
    fs::permissions(dir.Path(), fs::perms::all);
    struct Case {
        uid_t owner;
        fs::perms mode;
        const char *reason;
    };
    for (const Case &c : {Case{65534, fs::perms::owner_read | fs::perms::others_read, "Permission denied"},
                          Case{0, fs::perms::all, "its owner, group and permissions cannot be kept"}}) {
        ASSERT_EQ(chown(file.c_str(), c.owner, 0), 0);
        fs::permissions(file, c.mode);
        RunResult run = RunUnprivileged();
        ExpectFailedAndUntouched(run);
        EXPECT_EQ(run.output, FailedUpdate(file.string()) + c.reason + "\n");
        struct stat st;
        ASSERT_EQ(stat(file.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, c.owner);
    }
}

// A file in a directory this user may not search may exist: it is not
// called missing.
TEST_F(UnprivilegedRun, FileInADirectoryThatCannotBeSearchedIsNotCalledMissing)
{
    fs::create_directory(dir / "hidden");
    file = dir / "hidden" / "x.inf";
    WriteBytes(file, kRealistic);
    fs::permissions(dir / "hidden", fs::perms::owner_all);  // root's alone
    RunResult run = RunUnprivileged();
    EXPECT_EQ(run.output, UpdateFailure(file.string()) + "Permission denied\n");
    EXPECT_EQ(run.exitStatus, 1);
}

TEST_F(UnprivilegedRun, RegisteredFileNeedsNoWriteAccess)
{
    std::string registered = "[Services]\nMSEMS=Microsoft Exchange Server\n";
    WriteBytes(file, registered);
    fs::permissions(file, fs::perms::owner_read | fs::perms::others_read);
    RunResult run = RunUnprivileged();
    EXPECT_EQ(run.output, Exists(file.string()));
    EXPECT_EQ(run.exitStatus, 1);
}

// Run by root on another user's file: owner, group, every mode bit, the ACL
// and the extended attributes all stay, and nothing that the directory's
// default ACL would give a new file is added.
TEST_F(PosixRun, OwnerModeAclAndAttributesAreKept)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to give the file away";
    ASSERT_EQ(chown(file.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(file.c_str(), 06640), 0);
    std::string quoted = "'" + file.string() + "'";
    ASSERT_EQ(std::system(("setfacl -m u:daemon:r,g:daemon:r " + quoted).c_str()), 0) << "setfacl (package acl)";
    ASSERT_EQ(setxattr(file.c_str(), "user.origin", "kept", 4, 0), 0);
    ASSERT_EQ(std::system(("setfacl -d -m u:daemon:rwx '" + dir.Path().string() + "'").c_str()), 0);
    struct stat before, after;
    ASSERT_EQ(stat(file.c_str(), &before), 0);
    std::map<std::string, std::string> attributes = Attributes(file);
    ASSERT_EQ(attributes.count("system.posix_acl_access"), 1u);

    RunResult run = RunTool({file.string()});
    EXPECT_EQ(run.exitStatus, 0) << run.output;
    ASSERT_EQ(stat(file.c_str(), &after), 0);
    EXPECT_NE(after.st_ino, before.st_ino);  // replaced, not rewritten in place
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_gid, before.st_gid);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(Attributes(file), attributes);
}

// Root does not follow a link that another user planted, at the end of the
// path or within it; its own links it follows.
TEST_F(PosixRun, AnotherUsersSymbolicLinkIsNotFollowedByRoot)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "the refusal is root's";
    fs::create_directory(dir / "real");
    fs::path link = dir / "link.inf", linkedDirectory = dir / "linked";
    fs::create_symlink("mapisvc.inf", link);
    fs::create_directory_symlink("real", linkedDirectory);
    WriteBytes(dir / "real" / "mapisvc.inf", kRealistic);
    for (const fs::path &path : {link, linkedDirectory / "mapisvc.inf"}) {
        ASSERT_EQ(lchown(path == link ? link.c_str() : linkedDirectory.c_str(), 65534, 65534), 0);
        RunResult run = RunTool({path.string()});
        EXPECT_EQ(run.output,
                  UpdateFailure(path.string()) + "its path goes through a symbolic link that belongs to another user\n");
        EXPECT_EQ(run.exitStatus, 1);
    }
    EXPECT_EQ(ReadBytes(file), kRealistic);
    EXPECT_EQ(ReadBytes(dir / "real" / "mapisvc.inf"), kRealistic);
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"link.inf", "linked", "mapisvc.inf", "real"}));
}

// The inode flags that users set stay with the file, and none that its
// directory would give a new file is added.
TEST_F(PosixRun, InodeFlagsAreKept)
{
    const int kCarried = FS_NODUMP_FL | FS_NOATIME_FL | FS_SYNC_FL;  // chattr +d +A +S
    struct Case {
        int file;
        int directory;
    };
    for (const Case &c : {Case{kCarried, 0}, Case{0, FS_NODUMP_FL}}) {
        WriteBytes(file, kRealistic);
        if (!ChangeInodeFlags(file, c.file, kCarried) || !ChangeInodeFlags(dir.Path(), c.directory, kCarried))
            GTEST_SKIP() << "the file system refuses these inode flags";
        struct stat before, after;
        ASSERT_EQ(stat(file.c_str(), &before), 0);
        RunResult run = RunTool({file.string()});
        EXPECT_EQ(run.output, Added(file.string()));
        ASSERT_EQ(stat(file.c_str(), &after), 0);
        EXPECT_NE(after.st_ino, before.st_ino);
        EXPECT_EQ(InodeFlags(file).value_or(-1) & kCarried, c.file) << c.file << " in " << c.directory;
    }
}

// A path through /proc/PID/root leads where the kernel says: into that
// process's mount namespace, where the same path names another file than it
// does here. A /proc link to an open file names no directory to replace the
// file in, and is refused.
TEST_F(PosixRun, ProcLinkLeadsWhereTheKernelSays)
{
    if (geteuid() != 0 || std::system("unshare --mount true 2>/dev/null") != 0)
        GTEST_SKIP() << "needs root and mount namespaces";
    fs::path here = dir / "etc", there = dir / "other", pidFile = dir / "pid";
    fs::create_directory(here);
    fs::create_directory(there);
    const std::string registered = "[Services]\r\nMSEMS=Microsoft Exchange Server\r\n";
    WriteBytes(here / "mapisvc.inf", registered);
    WriteBytes(there / "mapisvc.inf", kRealistic);
    // In its namespace `other` is mounted over `etc`; it holds that file open.
    std::string script = "mount --bind '" + there.string() + "' '" + here.string() + "' && exec 3<'" +
                         (here / "mapisvc.inf").string() + "' && echo \\$\\$ >'" + pidFile.string() +
                         "' && exec sleep 60";
    ASSERT_EQ(std::system(("unshare --mount --fork sh -c \"" + script + "\" >/dev/null 2>&1 &").c_str()), 0);
    std::string pid;
    for (int wait = 0; wait < 200 && (pid.empty() || pid.back() != '\n'); ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        pid = fs::exists(pidFile) ? ReadBytes(pidFile) : "";
    }
    if (pid.empty())
        GTEST_SKIP() << "no process in a mount namespace of its own";
    pid.pop_back();
    std::string root = "/proc/" + pid + "/root" + (here / "mapisvc.inf").string();
    RunResult run = RunTool({root});
    EXPECT_EQ(run.output, Added(root));
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_NE(ReadBytes(there / "mapisvc.inf").find("[EMSDelegate]"), std::string::npos);
    EXPECT_EQ(ReadBytes(here / "mapisvc.inf"), registered);

    fs::path open = dir / "open.inf";
    fs::create_symlink("/proc/" + pid + "/fd/3", open);
    RunResult refused = RunTool({open.string()});
    EXPECT_EQ(refused.output,
              UpdateFailure(open.string()) + "its path ends in a /proc link to a file, which names no directory to "
                                             "replace it in\n");
    EXPECT_EQ(refused.exitStatus, 1);
    kill(std::stoi(pid), SIGKILL);
}

// A FIFO is not opened, so that a program waiting to write into it is not
// released; the message names what it is.
TEST_F(PosixRun, FifoIsNotReadOrReplaced)
{
    fs::path fifo = dir / "pipe.inf";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    std::atomic<bool> released = false;
    std::thread writer([&] {
        int fd = open(fifo.c_str(), O_WRONLY);  // blocks until a reader opens it
        released = true;
        close(fd);
    });
    RunResult run = RunTool({fifo.string()});
    bool releasedByTheRun = released;
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);  // lets the writer go
    writer.join();
    close(reader);
    EXPECT_FALSE(releasedByTheRun);
    EXPECT_EQ(run.output, FailedUpdate(fifo.string()) + "it is a FIFO, not a regular file\n");
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(fs::status(fifo).type(), fs::file_type::fifo);
}

// What refuses the rename, or the removal of the temporary file after it, is
// refused before anything is written: an immutable or append-only file or
// directory.
TEST_F(PosixRun, ImmutableOrAppendOnlyFileOrDirectoryIsRefusedFirst)
{
    for (const auto &[path, flag] : {std::pair{file, FS_IMMUTABLE_FL}, std::pair{file, FS_APPEND_FL},
                                     std::pair{dir.Path(), FS_IMMUTABLE_FL}, std::pair{dir.Path(), FS_APPEND_FL}}) {
        if (!ChangeInodeFlags(path, flag, 0))
            GTEST_SKIP() << "the file system refuses these inode flags";
        RunResult run = RunTool({file.string()});
        ChangeInodeFlags(path, 0, flag);
        EXPECT_EQ(run.output, FailedUpdate(file.string()) + "Operation not permitted\n") << path << " " << flag;
        ExpectFailedAndUntouched(run);
    }
}

// Messages say what is so: a name that may exist is not "not found", a file
// of /proc is not "changed", and a UTF-16 file, which is not damaged, is told
// as such after the test of its registration.
TEST_F(PosixRun, MessagesTellWhatIsSo)
{
    fs::path loop = dir / "loop.inf", proc = dir / "cpuinfo.inf";
    fs::create_symlink(loop.filename(), loop);
    fs::create_symlink("/proc/cpuinfo", proc);
    std::string utf16 = "\xFF\xFE";
    for (char c : std::string("[Services]\r\nMSEMS=x\r\n"))
        utf16 += std::string{c, '\0'};
    fs::path registered = dir / "registered.inf", wide = dir / "wide.inf";
    WriteBytes(registered, utf16);
    WriteBytes(wide, utf16.substr(0, 26));
    struct Case {
        fs::path path;
        std::string output;
    };
    for (const Case &c :
         {Case{loop, UpdateFailure(loop.string()) + "Too many levels of symbolic links\n"},
          Case{proc, FailedUpdate(proc.string()) + "it is a file of /proc or /sys, not a regular file on a disk\n"},
          Case{registered, Exists(registered.string())},
          Case{wide, FailedUpdate(wide.string()) + "the file is UTF-16, which this build does not edit\n"}}) {
        RunResult run = RunTool({c.path.string()});
        EXPECT_EQ(run.output, c.output);
        EXPECT_EQ(run.exitStatus, 1);
    }
    EXPECT_EQ(ReadBytes(registered), utf16);
    EXPECT_EQ(ReadBytes(wide), utf16.substr(0, 26));
}

// Control characters in a path are shown escaped: C0 ones always, C1 ones
// and the bidirectional ones as the terminal's character set would take them.
TEST_F(PosixRun, ControlBytesInThePathAreShownEscaped)
{
    std::string name = "x\nMSEMS service information already exists in y\t\x1b[2J\x7f\\.inf";
    std::string shown = (dir.Path() / "x\\nMSEMS service information already exists in y\\t\\x1b[2J\\x7f\\.inf").string();
    RunResult missing = RunTool({(dir / name).string()});
    EXPECT_EQ(missing.output, NotFound(shown));
    WriteBytes(dir / name, kRealistic);
    RunResult run = RunTool({(dir / name).string()});
    EXPECT_EQ(run.output, Added(shown));
    EXPECT_EQ(run.exitStatus, 0);
    RunResult again = RunTool({(dir / name).string()});
    EXPECT_EQ(again.output, Exists(shown));

    const std::string c1 = "a\xc2\x9b\xe2\x80\xae\x9b.inf";
    for (const auto &[language, escaped] :
         {std::pair{"LANG=C.UTF-8", "a\\xc2\\x9b\\xe2\\x80\\xae\x9b.inf"},
          std::pair{"LANG=C", "a\xc2\\x9b\xe2\\x80\xae\\x9b.inf"}}) {
        RunOptions options;
        options.environment = {language, "LC_ALL=", "LC_CTYPE="};
        EXPECT_EQ(RunTool({(dir / c1).string()}, options).output, NotFound((dir / escaped).string())) << language;
    }
}

TEST_F(PosixRun, WithoutArgumentUsesTheSystemDirectory)
{
    // This build's system directory is configured with a trailing "/"; no
    // MAPI stub library is within the loader's reach.
    fs::path system = EMSGRAFT_TEST_SYSTEM_DIR;
    fs::path expected = system / "mapisvc.inf";
    fs::remove_all(system);
    RunResult missing = RunTool(EMSGRAFT_TEST_SYSTEM_PROGRAM, {});
    EXPECT_EQ(missing.output, "Unable to load MAPI DLLs\n" + NotFound(expected.string()));
    EXPECT_EQ(missing.exitStatus, 1);

    fs::create_directories(system);
    WriteBytes(expected, "");
    RunResult run = RunTool(EMSGRAFT_TEST_SYSTEM_PROGRAM, {});
    EXPECT_EQ(run.output, "Unable to load MAPI DLLs\n" + Added(expected.string()));
    EXPECT_EQ(run.exitStatus, 0);
    fs::remove_all(system);
}

}  // namespace

// The program's failure handling and file care on POSIX, run as a process:
// resource limits, permissions, links, and the default path.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "test_support.h"

namespace {

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
    RunResult Run(const std::vector<std::string> &args, const RunOptions &options = {})
    {
        const char *program = std::getenv("EMSGRAFT_PROGRAM");
        std::vector<std::string> argv = {program != nullptr ? program : EMSGRAFT_PROGRAM};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunProgram(argv, options);
    }
    std::string FailurePrefix()
    {
        return "Adding MSEMS service information to " + file.string() +
               "...\nUnable to update MAPI service file " + file.string() + ": ";
    }
    void ExpectFailedAndUntouched(const RunResult &run)
    {
        EXPECT_EQ(run.exitStatus, 1);
        EXPECT_EQ(run.output.rfind(FailurePrefix(), 0), 0u) << run.output;
        EXPECT_EQ(run.output.find("Done"), std::string::npos) << run.output;
        EXPECT_EQ(run.output.empty() ? '\0' : run.output.back(), '\n');
        EXPECT_EQ(ReadBytes(file), kRealistic);
        EXPECT_EQ(dir.Entries(), std::vector<std::string>{"mapisvc.inf"});
    }
};

TEST_F(PosixRun, FileSizeLimitFailsTheUpdateCleanly)
{
    RunOptions options;
    options.fileSizeLimit = kRealistic.size() + 100;  // too small for the result
    options.ignoreFileSizeSignal = true;
    RunResult run = Run({file.string()}, options);
    ExpectFailedAndUntouched(run);
    EXPECT_NE(run.output.find("File too large"), std::string::npos) << run.output;
}

TEST_F(PosixRun, KilledMidWriteLeavesTheOldFile)
{
    RunOptions options;
    options.fileSizeLimit = kRealistic.size() + 100;
    RunResult run = Run({file.string()}, options);
    EXPECT_EQ(run.signal, SIGXFSZ);
    EXPECT_EQ(ReadBytes(file), kRealistic);
}

TEST_F(PosixRun, SucceedsAtAFileSizeLimitThatHoldsTheResult)
{
    RunOptions options;
    options.fileSizeLimit = 64 * 1024;
    options.ignoreFileSizeSignal = true;
    RunResult run = Run({file.string()}, options);
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
        fs::copy_file(EMSGRAFT_PROGRAM, programDir / "emsgraft");
    }
    RunResult RunUnprivileged()
    {
        RunOptions options;
        options.unprivileged = true;
        return RunProgram({(programDir / "emsgraft").string(), file.string()}, options);
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

TEST_F(UnprivilegedRun, RegisteredFileNeedsNoWriteAccess)
{
    std::string registered = "[Services]\nMSEMS=Microsoft Exchange Server\n";
    WriteBytes(file, registered);
    fs::permissions(file, fs::perms::owner_read | fs::perms::others_read);
    RunResult run = RunUnprivileged();
    EXPECT_EQ(run.output, "MSEMS service information already exists in " + file.string() + "\n");
    EXPECT_EQ(run.exitStatus, 1);
}

TEST_F(PosixRun, SymbolicLinkStaysAndItsTargetIsUpdated)
{
    fs::path link = dir / "link.inf";
    fs::create_symlink("mapisvc.inf", link);
    RunResult run = Run({link.string()});
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_NE(ReadBytes(file).find("[EMSDelegate]"), std::string::npos);
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"link.inf", "mapisvc.inf"}));
}

TEST_F(PosixRun, PermissionBitsAreKept)
{
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    RunResult run = Run({file.string()});
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

TEST_F(PosixRun, FifoIsNotReadOrReplaced)
{
    fs::path fifo = dir / "pipe.inf";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    RunResult run = Run({fifo.string()});
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_NE(run.output.find("Unable to update MAPI service file " + fifo.string()), std::string::npos);
    EXPECT_EQ(fs::status(fifo).type(), fs::file_type::fifo);
}

TEST_F(PosixRun, Utf16FileIsNotDamaged)
{
    std::string utf16("\xFF\xFE[\0S\0]\0\r\0\n\0", 12);
    WriteBytes(file, utf16);
    RunResult run = Run({file.string()});
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(ReadBytes(file), utf16);
}

TEST_F(PosixRun, WithoutArgumentUsesTheSystemDirectory)
{
    // This build's system directory is configured with a trailing "/"; no
    // MAPI stub library is within the loader's reach.
    fs::path system = EMSGRAFT_TEST_SYSTEM_DIR;
    fs::path expected = system / "mapisvc.inf";
    std::vector<std::string> argv = {EMSGRAFT_TEST_SYSTEM_PROGRAM};
    fs::remove_all(system);
    RunResult missing = RunProgram(argv);
    EXPECT_EQ(missing.output, "Unable to load MAPI DLLs\nMAPI service file " + expected.string() + " not found\n");
    EXPECT_EQ(missing.exitStatus, 1);

    fs::create_directories(system);
    WriteBytes(expected, "");
    RunResult run = RunProgram(argv);
    EXPECT_EQ(run.output, "Unable to load MAPI DLLs\nAdding MSEMS service information to " + expected.string() +
                              "...Done\n");
    EXPECT_EQ(run.exitStatus, 0);
    fs::remove_all(system);
}

}  // namespace

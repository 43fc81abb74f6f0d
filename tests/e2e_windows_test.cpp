// The Windows build under Wine, run as a process on real files: what only
// Windows has (bare names that the profile functions would look for in the
// Windows directory, the system directory of the Wine prefix) and how a
// failed update puts the file back.
#include <gtest/gtest.h>
#include <linux/fs.h>

#include <algorithm>
#include <cstdlib>

#include "test_support.h"

namespace {

const std::string &kRealistic = kRealisticServiceFile;

// Sets the immutable flag of a file or directory for the length of its scope:
// the one way to refuse writes to root, who runs these tests and Wine.
class Immutable {
public:
    explicit Immutable(const fs::path &path) : path_(path) { set_ = ChangeInodeFlags(path_, FS_IMMUTABLE_FL, 0); }
    ~Immutable()
    {
        if (set_)
            ChangeInodeFlags(path_, 0, FS_IMMUTABLE_FL);
    }
    bool IsSet() const { return set_; }

private:
    fs::path path_;
    bool set_ = false;
};

class WindowsRun : public ::testing::Test {
protected:
    ScratchDirectory dir;
    fs::path file = dir / "mapisvc.inf";
    fs::path prefix;
    fs::file_time_type written;

    void SetUp() override
    {
        if (!UnderWine())
            GTEST_SKIP() << "Windows build only";
        const char *wineprefix = std::getenv("WINEPREFIX");
        ASSERT_NE(wineprefix, nullptr) << "the Windows build runs in the tests' own Wine prefix";
        prefix = wineprefix;
        WriteBytes(file, kRealistic);
        // An old time in whole seconds (Windows keeps 100 ns), so that any
        // rewrite shows.
        written = std::chrono::floor<std::chrono::seconds>(fs::last_write_time(file) - std::chrono::hours(24 * 400));
        fs::last_write_time(file, written);
    }
    void ExpectFailedAndUntouched(const RunResult &run, const std::string &shown)
    {
        EXPECT_EQ(run.output.rfind(FailedUpdate(shown), 0), 0u) << run.output;
        EXPECT_EQ(run.output.find("Done"), std::string::npos) << run.output;
        EXPECT_EQ(run.exitStatus, 1);
        EXPECT_EQ(ReadBytes(file), kRealistic);
        EXPECT_EQ(fs::last_write_time(file), written);
        EXPECT_EQ(dir.Entries(), std::vector<std::string>{"mapisvc.inf"});
    }
};

TEST_F(WindowsRun, BareNameUpdatesTheFileInTheWorkingDirectory)
{
    fs::path wrongPlace = prefix / "drive_c" / "windows" / "mapisvc.inf";
    fs::remove(wrongPlace);  // left by an earlier run of a faulty build
    RunOptions options;
    options.workingDirectory = dir.Path();
    RunResult run = RunTool({"mapisvc.inf"}, options);
    EXPECT_EQ(run.output, Added("mapisvc.inf"));
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_NE(ReadBytes(file).find("MSEMS=Microsoft Exchange Server"), std::string::npos);
    EXPECT_FALSE(fs::exists(wrongPlace));
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"mapisvc.inf"});

    RunResult again = RunTool({"mapisvc.inf"}, options);
    EXPECT_EQ(again.output, Exists("mapisvc.inf"));
}

TEST_F(WindowsRun, DriveRelativeNameUpdatesTheFileInThatDrivesDirectory)
{
    RunOptions options;
    options.workingDirectory = dir.Path();
    RunResult run = RunTool({"Z:mapisvc.inf"}, options);
    EXPECT_EQ(run.output, Added("Z:mapisvc.inf"));
    EXPECT_NE(ReadBytes(file).find("MSEMS=Microsoft Exchange Server"), std::string::npos);
    EXPECT_FALSE(fs::exists(prefix / "drive_c" / "windows" / "Z:mapisvc.inf"));
}

TEST_F(WindowsRun, WithoutArgumentUsesTheSystemDirectory)
{
    fs::path system = WineSystemDirectory() / "mapisvc.inf";
    fs::remove(system);
    RunResult missing = RunTool({});
    EXPECT_EQ(missing.output, NotFound("C:\\windows\\system32\\mapisvc.inf"));
    EXPECT_EQ(missing.exitStatus, 1);

    WriteBytes(system, kRealistic);
    RunResult run = RunTool({});
    std::string after = ReadBytes(system);
    fs::remove(system);
    EXPECT_EQ(run.output, Added("C:\\windows\\system32\\mapisvc.inf"));
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_NE(after.find("[EMSDelegate]"), std::string::npos);
}

TEST_F(WindowsRun, WriteThatFailsHalfwayPutsTheFileBack)
{
    // Wine rewrites the whole file on every write: a few writes fit, then the
    // file outgrows the limit. Wine ignores the failed disk write itself.
    RunOptions options;
    options.fileSizeLimit = kRealistic.size() + 100;
    options.ignoreFileSizeSignal = true;
    RunResult run = RunTool({WindowsPath(file)}, options);
    ExpectFailedAndUntouched(run, WindowsPath(file));

    RunResult retry = RunTool({WindowsPath(file)});
    EXPECT_EQ(retry.exitStatus, 0) << retry.output;
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"mapisvc.inf"});
}

TEST_F(WindowsRun, FileThatRefusesWritesFailsBeforeAnyWrite)
{
    Immutable locked(file);
    if (!locked.IsSet())
        GTEST_SKIP() << "cannot make a file immutable here";
    RunResult run = RunTool({WindowsPath(file)});
    ExpectFailedAndUntouched(run, WindowsPath(file));
}

TEST_F(WindowsRun, DirectoryThatRefusesTheCopyFailsBeforeAnyWrite)
{
    Immutable locked(dir.Path());
    if (!locked.IsSet())
        GTEST_SKIP() << "cannot make a directory immutable here";
    RunResult run = RunTool({WindowsPath(file)});
    ExpectFailedAndUntouched(run, WindowsPath(file));
}

TEST_F(WindowsRun, RegisteredFileNeedsNoWriteAccess)
{
    std::string registered = "[Services]\r\nMSEMS=Microsoft Exchange Server\r\n";
    WriteBytes(file, registered);
    Immutable locked(file);
    if (!locked.IsSet())
        GTEST_SKIP() << "cannot make a file immutable here";
    RunResult run = RunTool({WindowsPath(file)});
    EXPECT_EQ(run.output, Exists(WindowsPath(file)));
    EXPECT_EQ(run.exitStatus, 1);
}

}  // namespace

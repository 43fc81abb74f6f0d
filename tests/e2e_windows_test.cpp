// The Windows build under Wine, run as a process on real files: what only
// Windows has (bare names that the profile functions would look for in the
// Windows directory, the system directory of the Wine prefix, names mapped to
// the registry, file attributes), a failed update that leaves the file as it
// was, a run killed at any moment, and another program changing the file.
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <thread>

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

// The DOS attributes that Wine keeps for a file (hidden 0x2, system 0x4, ...).
unsigned long DosAttributes(const fs::path &path)
{
    char value[32] = "";
    ssize_t length = getxattr(path.c_str(), "user.DOSATTRIB", value, sizeof value - 1);
    return length > 0 ? std::strtoul(std::string(value, length).c_str(), nullptr, 16) : 0;
}
void SetDosAttributes(const fs::path &path, unsigned long attributes)
{
    std::string value = "0x" + std::to_string(attributes);
    ASSERT_EQ(setxattr(path.c_str(), "user.DOSATTRIB", value.data(), value.size(), 0), 0);
}
const unsigned long kHiddenSystem = 0x6;

ino_t Inode(const fs::path &path)
{
    struct stat st = {};
    stat(path.c_str(), &st);
    return st.st_ino;
}

// Writes `bytes` as another program might: a new file renamed over the old.
void Replace(const fs::path &path, const std::string &bytes)
{
    fs::path other = path.parent_path() / "theirs.new";
    WriteBytes(other, bytes);
    fs::rename(other, path);
}

// A service file of `sections` small sections: large enough that an update
// takes a while under Wine, which rewrites the file on every write.
std::string ManySections(int sections)
{
    std::string text = kRealisticServiceFile;
    for (int i = 0; i < sections; i++)
        text += "[Section " + std::to_string(i) + "]\r\nDisplayName=Example " + std::to_string(i) + "\r\nType=1\r\n";
    return text;
}

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

TEST_F(WindowsRun, WriteThatFailsHalfwayLeavesTheFileAsItWas)
{
    // Wine rewrites the whole draft on every write: a few writes fit, then it
    // outgrows the limit. Wine ignores the failed disk write itself.
    SetDosAttributes(file, kHiddenSystem);
    RunOptions options;
    options.fileSizeLimit = kRealistic.size() + 100;
    options.ignoreFileSizeSignal = true;
    RunResult run = RunTool({WindowsPath(file)}, options);
    ExpectFailedAndUntouched(run, WindowsPath(file));
    EXPECT_EQ(DosAttributes(file), kHiddenSystem);

    RunResult retry = RunTool({WindowsPath(file)});
    EXPECT_EQ(retry.exitStatus, 0) << retry.output;
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"mapisvc.inf"});
    EXPECT_EQ(DosAttributes(file) & kHiddenSystem, kHiddenSystem);
}

TEST_F(WindowsRun, KilledAtAnyMomentLeavesTheOldOrTheCompleteNewFile)
{
    const std::string before = ManySections(4000);
    WriteBytes(file, before);
    auto start = std::chrono::steady_clock::now();
    RunResult whole = RunTool({WindowsPath(file)});
    auto duration = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
    ASSERT_EQ(whole.output, Added(WindowsPath(file)));
    const std::string after = ReadBytes(file);

    const int kMoments = 20;
    int old = 0, complete = 0;
    for (int i = 1; i <= kMoments; i++) {
        RunOptions options;
        options.killAfter = duration * i / kMoments;
        SCOPED_TRACE("killed after " + std::to_string(options.killAfter->count()) + " us of " +
                     std::to_string(duration.count()));
        WriteBytes(file, before);
        RunTool({WindowsPath(file)}, options);
        std::string left = ReadBytes(file);
        EXPECT_TRUE(left == before || left == after) << "neither: " << left.size() << " bytes";
        old += left == before;
        complete += left == after;
        std::vector<std::string> entries = dir.Entries();
        EXPECT_LE(entries.size(), 2u);

        RunResult again = RunTool({WindowsPath(file)});
        EXPECT_TRUE(again.output == Added(WindowsPath(file)) || again.output == Exists(WindowsPath(file)))
            << again.output;
        EXPECT_EQ(ReadBytes(file), after);
        EXPECT_EQ(dir.Entries(), entries);
        for (const std::string &name : entries) {
            if (name != "mapisvc.inf") {
                EXPECT_EQ(name.substr(0, 3), "emg");
                fs::remove(dir / name);
            }
        }
    }
    std::cout << "killed " << kMoments << " times: " << old << " old files, " << complete << " complete new ones\n";
}

TEST_F(WindowsRun, FileChangedDuringTheRunIsUpdatedAfresh)
{
    // Another program changes the file once the update is under way (its
    // draft is there): the run starts again from the new content.
    const std::string before = ManySections(2000), theirs = before + "[Theirs]\r\nx=1\r\n";
    WriteBytes(file, before);
    std::atomic<bool> changed = false;
    std::thread other([&] {
        for (int waited = 0; waited < 30000 && !changed; waited++) {
            for (const std::string &name : dir.Entries()) {
                if (name.substr(0, 3) == "emg" && !changed) {
                    Replace(file, theirs);
                    changed = true;
                }
            }
            usleep(1000);
        }
    });
    RunResult run = RunTool({WindowsPath(file)});
    other.join();
    ASSERT_TRUE(changed);
    EXPECT_EQ(run.output, Added(WindowsPath(file)));
    EXPECT_EQ(run.exitStatus, 0);
    std::string after = ReadBytes(file);
    EXPECT_NE(after.find("[Theirs]\r\nx=1\r\n"), std::string::npos);
    EXPECT_NE(after.find("[EMSDelegate]"), std::string::npos);
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"mapisvc.inf"});
}

TEST_F(WindowsRun, FileThatKeepsChangingIsLeftToTheOtherProgram)
{
    std::atomic<bool> running = true;
    std::string last;
    std::thread other([&] {
        for (int i = 0; running; i++) {
            last = kRealistic + "[Theirs]\r\nx=" + std::to_string(i) + "\r\n";
            Replace(file, last);
            usleep(1000);
        }
    });
    RunResult run = RunTool({WindowsPath(file)});
    running = false;
    other.join();
    EXPECT_EQ(run.output,
              FailedUpdate(WindowsPath(file)) + "the file was changed or replaced during the update\n");
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(ReadBytes(file), last);
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"mapisvc.inf"});
}

TEST_F(WindowsRun, HiddenSystemFileKeepsItsAttributesThroughTheUpdate)
{
    SetDosAttributes(file, kHiddenSystem);
    ino_t before = Inode(file);
    RunResult run = RunTool({WindowsPath(file)});
    EXPECT_EQ(run.output, Added(WindowsPath(file)));
    EXPECT_EQ(DosAttributes(file) & kHiddenSystem, kHiddenSystem);
    EXPECT_NE(Inode(file), before);  // a new file, put in place in one step
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"mapisvc.inf"});
}

TEST_F(WindowsRun, NameMappedToTheRegistryIsWrittenWhereWindowsKeepsIt)
{
    // The [Services] of files named mapped.inf live in the registry. The mapping goes into both
    // registry views, as Windows keeps its own: Wine's 32-bit profile functions read the 64-bit
    // view, a 32-bit program's registry functions its own, the 32-bit one.
    const std::string mapping = "HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\IniFileMapping\\mapped.inf";
    const std::string store = "HKCU\\Software\\emsgraft-test";
    struct Keys {
        std::vector<std::string> names;
        ~Keys()
        {
            for (const std::string &name : names)
                for (const char *view : {"/reg:32", "/reg:64"})
                    RunTool("reg", {"delete", name, "/f", view});
        }
    } keys{{mapping, store}};
    for (const char *view : {"/reg:32", "/reg:64"})
        ASSERT_EQ(RunTool("reg", {"add", mapping, "/v", "Services", "/d", "USR:Software\\emsgraft-test\\Services",
                                  "/f", view})
                      .exitStatus,
                  0);
    fs::path mapped = dir / "mapped.inf";
    WriteBytes(mapped, kRealistic);
    ino_t before = Inode(mapped);
    RunResult run = RunTool({WindowsPath(mapped)});
    EXPECT_EQ(run.output, Added(WindowsPath(mapped)));
    // Written in place, one entry after another, as the system keeps them.
    EXPECT_EQ(Inode(mapped), before);
    std::string text = ReadBytes(mapped);
    EXPECT_NE(text.find("[Default Services]\r\nMSFAX XP=Microsoft Fax\r\nMSEMS=Microsoft Exchange Server\r\n"),
              std::string::npos);
    EXPECT_EQ(text.find("[Services]\r\nMSFAX XP=Microsoft Fax\r\nMSEMS"), std::string::npos);
    EXPECT_NE(RunTool("reg", {"query", store + "\\Services", "/v", "MSEMS"}).output.find("Microsoft Exchange Server"),
              std::string::npos);
    EXPECT_EQ(RunTool({WindowsPath(mapped)}).output, Exists(WindowsPath(mapped)));

    // Any other name gets a new file.
    before = Inode(file);
    EXPECT_EQ(RunTool({WindowsPath(file)}).output, Added(WindowsPath(file)));
    EXPECT_NE(Inode(file), before);
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"mapisvc.inf", "mapped.inf"}));
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

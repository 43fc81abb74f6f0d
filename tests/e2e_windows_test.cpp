// The Windows build under Wine, run as a process on real files: what only
// Windows has (bare names that the profile functions would look for in the
// Windows directory, the system directory of the Wine prefix, names mapped to
// the registry, file attributes), a failed update that leaves the file as it
// was, a run killed at any moment, and another program changing the file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
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

// Waits, polling, until `done` holds; false after ten seconds.
template <typename Condition>
bool WaitFor(Condition done)
{
    for (int waited = 0; waited < 10000; waited++) {
        if (done())
            return true;
        usleep(1000);
    }
    return false;
}

bool HasCopy(const ScratchDirectory &dir)
{
    std::vector<std::string> entries = dir.Entries();
    return std::any_of(entries.begin(), entries.end(), [](const std::string &name) { return name.rfind("emg", 0) == 0; });
}

// What another program does beside the program for a while, run under Wine
// (hold_file.exe): holds the file without sharing its deletion, or, given a
// directory, opens every new copy there at once. The test goes on once it
// has begun.
class Neighbour {
public:
    Neighbour(const fs::path &target, int milliseconds, bool copies)
        : ready_(target.parent_path().parent_path() / (target.parent_path().filename().string() + ".ready"))
    {
        std::string held = WindowsPath(copies ? target.parent_path() : target) + (copies ? "\\" : "");
        const char *program = std::getenv("EMSGRAFT_HOLD_FILE");
        thread_ = std::thread([=] { RunTool(program, {WindowsPath(ready_), std::to_string(milliseconds), held}); });
        EXPECT_TRUE(WaitFor([&] { return fs::exists(ready_); })) << "hold_file did not start";
    }
    ~Neighbour()
    {
        thread_.join();
        fs::remove(ready_);
    }

private:
    fs::path ready_;
    std::thread thread_;
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
        written = BackDate(file);
    }
    void ExpectFailedAndUntouched(const RunResult &run, const std::string &shown)
    {
        ::ExpectFailedAndUntouched(run, shown, {dir, file, kRealistic, written});
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

// The name never loses its file: a program that reads it during updates
// always finds it, and a run killed right at its rename (the first entry
// renamed in the directory) leaves the old or the complete new file there.
TEST_F(WindowsRun, FileIsNeverMissing)
{
    const std::string before = ManySections(500);
    std::atomic<bool> reading = true;
    int missing = 0, opens = 0;
    std::thread reader([&] {
        for (; reading; opens++) {
            int fd = open(file.c_str(), O_RDONLY);
            missing += fd < 0;
            if (fd >= 0)
                close(fd);
        }
    });
    for (int i = 0; i < 5; i++) {
        WriteBytes(file, before);
        EXPECT_EQ(RunTool({WindowsPath(file)}).exitStatus, 0);
    }
    reading = false;
    reader.join();
    EXPECT_EQ(missing, 0) << "of " << opens << " opens";
    const std::string after = ReadBytes(file);

    for (int i = 0; i < 3; i++) {
        WriteBytes(file, before);
        int watch = inotify_init1(IN_CLOEXEC);
        ASSERT_GE(inotify_add_watch(watch, dir.Path().c_str(), IN_MOVED_FROM), 0);
        std::thread killer;
        RunOptions options;
        options.started = [&](pid_t pid) {
            killer = std::thread([=] {
                char events[4096];
                if (read(watch, events, sizeof events) > 0)
                    kill(pid, SIGKILL);
            });
        };
        RunResult run = RunTool({WindowsPath(file)}, options);
        close(watch);  // ends the read of a run that renamed nothing
        killer.join();
        ASSERT_TRUE(fs::exists(file)) << "killed " << i + 1 << ": " << run.output;
        std::string left = ReadBytes(file);
        EXPECT_TRUE(left == before || left == after) << "neither: " << left.size() << " bytes";
        for (const std::string &name : dir.Entries())
            if (name != "mapisvc.inf")
                fs::remove(dir / name);
    }
}

// Other programs that hold the file or its copy for a moment, as editors,
// backup agents and virus scanners do, delay the update; one that holds the
// file for longer fails it with the system's reason, leaving nothing behind.
TEST_F(WindowsRun, OtherProgramsHoldingTheFileOrItsCopy)
{
    struct Case {
        const char *what;
        int milliseconds;
        bool copies;
        bool done;
    };
    for (const Case &c : {Case{"the file held for a moment", 500, false, true},
                          Case{"each new copy held for a moment", 3000, true, true},
                          Case{"the file held for long", 6000, false, false}}) {
        SCOPED_TRACE(c.what);
        WriteBytes(file, kRealistic);
        written = BackDate(file);
        RunResult run;
        {
            Neighbour neighbour(file, c.milliseconds, c.copies);
            run = RunTool({WindowsPath(file)});
        }
        if (c.done) {
            EXPECT_EQ(run.output, Added(WindowsPath(file)));
            EXPECT_EQ(run.exitStatus, 0);
            EXPECT_EQ(dir.Entries(), std::vector<std::string>{"mapisvc.inf"});
        } else {
            ExpectFailedAndUntouched(run, WindowsPath(file));
        }
    }
}

// On a volume with room for the file and one copy of it, the profile
// functions' rewrite of the copy is cut short, and Wine does not say so:
// the check of the copy must.
TEST_F(WindowsRun, FullDiskLeavesTheFileAsItWas)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to mount a small file system";
    fs::path volume = dir / "volume";
    fs::create_directory(volume);
    // A file that holds the service's sections, ending in comments, 16 bytes
    // short of a page: the lines written take one page more.
    std::string text = kRealistic + "[MSEMS]\r\nA=1\r\n[EMS_DSA]\r\nA=1\r\n[EMS_MDB_public]\r\nA=1\r\n"
                       "[EMS_MDB_private]\r\nA=1\r\n[MSEMS_MSMail_Section]\r\nA=1\r\n[EMSDelegate]\r\nA=1\r\n";
    for (int i = 0; text.size() < 60000; i++)
        text += "[Provider " + std::to_string(i) + "]\r\nPR_DISPLAY_NAME=Provider " + std::to_string(i) + "\r\n";
    const std::string tail = "; note 1\r\n; note 2\r\n; note 3\r\n; note 4\r\n; note 5\r\n";
    auto padded = [&](size_t width) {
        size_t unit = 4096 / width, target = (4096 - 16 - (width == 2 ? 2 : 0)) / width;
        return text + "; " + std::string((target + unit - (text.size() + 4 + tail.size()) % unit) % unit, '-') +
               "\r\n" + tail;
    };
    std::string ansi = padded(1), utf16 = "\xFF\xFE";
    for (char c : padded(2))
        utf16 += std::string{c, '\0'};
    for (const std::string &before : {utf16, ansi}) {
        ASSERT_EQ(before.size() % 4096, 4096u - 16);
        SCOPED_TRACE(before == ansi ? "ANSI" : "UTF-16");
        size_t pages = (before.size() + 4095) / 4096;
        if (mount("tmpfs", volume.c_str(), "tmpfs", 0, ("size=" + std::to_string(2 * pages * 4096)).c_str()) != 0)
            GTEST_SKIP() << "cannot mount a file system here: " << strerror(errno);
        fs::path full = volume / "mapisvc.inf";
        WriteBytes(full, before);
        RunResult run = RunTool({WindowsPath(full)});
        std::string left = ReadBytes(full);
        std::vector<std::string> entries;
        for (const auto &entry : fs::directory_iterator(volume))
            entries.push_back(entry.path().filename().string());
        umount2(volume.c_str(), MNT_DETACH);
        EXPECT_EQ(run.output.rfind(FailedUpdate(WindowsPath(full)), 0), 0u) << run.output;
        EXPECT_EQ(run.exitStatus, 1);
        EXPECT_EQ(left, before);
        EXPECT_EQ(entries, std::vector<std::string>{"mapisvc.inf"});
    }
}

TEST_F(WindowsRun, DirectoryTooLongForTheCopyFailsBeforeAnyWrite)
{
    // The file's name takes the last of the 259 characters; its copy's,
    // emgXXXX.tmp, would need 6 more.
    fs::path deep = dir / std::string(253 - WindowsPath(dir.Path()).size() - 1, 'd');
    fs::create_directory(deep);
    fs::path inside = deep / "x.inf";
    WriteBytes(inside, kRealistic);
    ASSERT_EQ(WindowsPath(inside).size(), 259u);
    RunResult run = RunTool({WindowsPath(inside)});
    EXPECT_EQ(run.output.rfind(FailedUpdate(WindowsPath(inside)), 0), 0u) << run.output;
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(ReadBytes(inside), kRealistic);
    EXPECT_EQ(std::distance(fs::directory_iterator(deep), fs::directory_iterator()), 1);
}

TEST_F(WindowsRun, CtrlCStopsTheUpdateAndRemovesTheCopy)
{
    const std::string before = ManySections(2000);
    WriteBytes(file, before);
    std::thread interrupter;
    RunOptions options;
    options.started = [&](pid_t pid) {
        interrupter = std::thread([&, pid] {
            if (WaitFor([&] { return HasCopy(dir); }))
                kill(pid, SIGINT);  // what Wine turns into CTRL_C_EVENT
        });
    };
    RunResult run = RunTool({WindowsPath(file)}, options);
    interrupter.join();
    EXPECT_EQ(run.output, FailedUpdate(WindowsPath(file)) + "interrupted by Ctrl+C\n");
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(ReadBytes(file), before);
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"mapisvc.inf"});
}

// Runs started together on one file take turns: one adds the service, the
// others then find it.
TEST_F(WindowsRun, RunsAtTheSameTimeTakeTurns)
{
    for (int round = 0; round < 10; round++) {
        WriteBytes(file, kRealistic);
        std::vector<RunResult> runs(5);
        std::vector<std::thread> threads;
        for (RunResult &run : runs)
            threads.emplace_back([&] { run = RunTool({WindowsPath(file)}); });
        for (std::thread &thread : threads)
            thread.join();
        std::string shown = WindowsPath(file);
        int added = 0;
        for (const RunResult &run : runs) {
            added += run.output == Added(shown);
            EXPECT_TRUE(run.output == Added(shown) || run.output == Exists(shown) ||
                        run.output == Announcement(shown) + "\n" + Exists(shown))
                << run.output;
        }
        EXPECT_EQ(added, 1) << "round " << round;
        EXPECT_EQ(dir.Entries(), std::vector<std::string>{"mapisvc.inf"});
    }
}

TEST_F(WindowsRun, DeviceNamesAreRefused)
{
    RunOptions options;
    options.workingDirectory = dir.Path();
    for (const char *name : {"nul.inf", "con.inf"}) {
        RunResult run = RunTool({name}, options);
        EXPECT_EQ(run.output, UpdateFailure(name) + "it names a device, not a file\n");
        EXPECT_EQ(run.exitStatus, 1);
    }
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"mapisvc.inf"});
}

TEST_F(WindowsRun, FileChangedDuringTheRunIsUpdatedAfresh)
{
    // Another program changes the file once the update is under way (its
    // draft is there): the run starts again from the new content.
    const std::string before = ManySections(2000), theirs = before + "[Theirs]\r\nx=1\r\n";
    WriteBytes(file, before);
    bool changed = false;
    std::thread other([&] {
        if ((changed = WaitFor([&] { return HasCopy(dir); })))
            Replace(file, theirs);
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
    ino_t before = InodeOf(file);
    RunResult run = RunTool({WindowsPath(file)});
    EXPECT_EQ(run.output, Added(WindowsPath(file)));
    EXPECT_EQ(DosAttributes(file) & kHiddenSystem, kHiddenSystem);
    EXPECT_NE(InodeOf(file), before);  // a new file, put in place in one step
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"mapisvc.inf"});
}

TEST_F(WindowsRun, NameMappedToTheRegistryIsWrittenWhereWindowsKeepsIt)
{
    // The [Services] of files named mapped.inf live in the registry. The mapping goes into the
    // 64-bit registry view, which Wine's 32-bit profile functions read too: a 32-bit program
    // must find it there, not only in its own view.
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
    ASSERT_EQ(RunTool("reg", {"add", mapping, "/v", "Services", "/d", "USR:Software\\emsgraft-test\\Services", "/f",
                              "/reg:64"})
                  .exitStatus,
              0);
    fs::path mapped = dir / "mapped.inf";
    WriteBytes(mapped, kRealistic);
    ino_t before = InodeOf(mapped);
    RunResult run = RunTool({WindowsPath(mapped)});
    EXPECT_EQ(run.output, Added(WindowsPath(mapped)));
    // Written in place, one entry after another, as the system keeps them.
    EXPECT_EQ(InodeOf(mapped), before);
    std::string text = ReadBytes(mapped);
    EXPECT_NE(text.find("[Default Services]\r\nMSFAX XP=Microsoft Fax\r\nMSEMS=Microsoft Exchange Server\r\n"),
              std::string::npos);
    EXPECT_EQ(text.find("[Services]\r\nMSFAX XP=Microsoft Fax\r\nMSEMS"), std::string::npos);
    EXPECT_NE(RunTool("reg", {"query", store + "\\Services", "/v", "MSEMS"}).output.find("Microsoft Exchange Server"),
              std::string::npos);
    EXPECT_EQ(RunTool({WindowsPath(mapped)}).output, Exists(WindowsPath(mapped)));

    // Any other name gets a new file.
    before = InodeOf(file);
    EXPECT_EQ(RunTool({WindowsPath(file)}).output, Added(WindowsPath(file)));
    EXPECT_NE(InodeOf(file), before);
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"mapisvc.inf", "mapped.inf"}));
}

// A file that refuses writes, or a directory that refuses the copy, fails
// the update before anything is written: "Access denied." in Wine's words.
TEST_F(WindowsRun, FileOrDirectoryThatRefusesWritesFailsBeforeAnyWrite)
{
    for (const fs::path &path : {file, dir.Path()}) {
        Immutable locked(path);
        if (!locked.IsSet())
            GTEST_SKIP() << "cannot make a file or directory immutable here";
        RunResult run = RunTool({WindowsPath(file)});
        ExpectFailedAndUntouched(run, WindowsPath(file));
        EXPECT_EQ(run.output, FailedUpdate(WindowsPath(file)) + "Access denied.\n");
    }
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

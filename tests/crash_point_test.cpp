// The program updating a realistic service file while one of its file calls
// fails or the process is killed or signalled there, for every such call of a
// full update in turn. A preloaded library built by the tests strikes the call.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <signal.h>
#include <string.h>
#include <sys/file.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "platform/posix/replace_file.h"
#include "test_support.h"

namespace {

const std::string kTemporaryPrefix = ".mapisvc.inf" + std::string(emsgraft::kTemporaryMark);

struct TracedCall {
    std::string name;
    char kind;  // see the library: r, d, t, w or -
    int use;    // how many calls of this name so far, this one included
};

class CrashPoint : public ::testing::Test {
protected:
    ScratchDirectory dir;
    fs::path file = dir / "mapisvc.inf";
    std::string before = ReadBytes(EMSGRAFT_EXAMPLE_FILE);

    void SetUp() override
    {
        if (UnderWine())
            GTEST_SKIP() << "POSIX build only";
    }

    RunResult Run(const std::vector<std::string> &settings)
    {
        WriteBytes(file, before);
        RunOptions options;
        options.environment = {std::string("LD_PRELOAD=") + EMSGRAFT_FAULT_LIBRARY};
        options.environment.insert(options.environment.end(), settings.begin(), settings.end());
        return RunTool({file.string()}, options);
    }

    // The calls of an undisturbed update, in order, and the file it gives.
    std::vector<TracedCall> Trace(std::string &after)
    {
        fs::path trace = dir.Path().parent_path() / (dir.Path().filename().string() + ".trace");
        RunResult run = Run({"EMSGRAFT_FAULT_TRACE=" + trace.string()});
        EXPECT_EQ(run.output, Added(file.string()));
        EXPECT_EQ(run.exitStatus, 0);
        after = ReadBytes(file);
        std::vector<TracedCall> calls;
        std::map<std::string, int> uses;
        std::ifstream in(trace);
        std::string name, kind;
        while (in >> name >> kind)
            calls.push_back({name, kind[0], ++uses[name]});
        fs::remove(trace);
        return calls;
    }

    std::vector<std::string> Settings(const TracedCall &call, const char *mode, const std::string &extra = "")
    {
        std::vector<std::string> settings = {"EMSGRAFT_FAULT_CALL=" + call.name,
                                             "EMSGRAFT_FAULT_AT=" + std::to_string(call.use),
                                             std::string("EMSGRAFT_FAULT_MODE=") + mode};
        if (!extra.empty())
            settings.push_back(extra);
        return settings;
    }

    // The output of a run that failed for `reason`: after the announcement,
    // or alone when the path itself was refused.
    bool FailedFor(const RunResult &run, const std::string &reason)
    {
        std::string failure = UpdateFailure(file.string()) + reason + "\n";
        return run.output == Announcement(file.string()) + "\n" + failure || run.output == failure;
    }

    static size_t RenameIndex(const std::vector<TracedCall> &calls)
    {
        for (size_t i = 0; i < calls.size(); ++i)
            if (calls[i].name == "rename")
                return i;
        return calls.size();
    }
};

const std::map<std::string, int> kInjectedErrors = {{"open", EACCES}, {"read", EIO}, {"write", ENOSPC}, {"fsync", EIO},
                                                    {"close", EIO}, {"rename", EACCES}, {"fchown", EPERM},
                                                    {"fsetxattr", ENOSPC}, {"ioctl", EIO}};

TEST_F(CrashPoint, UpdateUsesEveryStruckCall)
{
    std::string after;
    std::vector<TracedCall> calls = Trace(after);
    std::ostringstream shown;
    for (const TracedCall &call : calls)
        shown << call.name << " " << call.kind << "; ";
    for (const char *name : {"open", "write", "fsync", "close", "rename"})
        EXPECT_TRUE(std::any_of(calls.begin(), calls.end(), [&](const TracedCall &c) { return c.name == name; }))
            << name << " missing from " << shown.str();
    EXPECT_EQ(std::count_if(calls.begin(), calls.end(), [](const TracedCall &c) { return c.name == "rename"; }), 1);
    EXPECT_NE(after, before);
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"mapisvc.inf"});
}

// A failure before the new file takes the old one's place leaves the old
// bytes and is reported; afterwards (syncing the directory) it cannot be
// undone and is not. Closing a file or directory that was only read is no
// failure. Failing to find the file's directory ends the run before the
// announcement.
TEST_F(CrashPoint, EveryFailureLeavesTheOldFileAndIsReported)
{
    std::string after;
    std::vector<TracedCall> calls = Trace(after);
    size_t renamed = RenameIndex(calls);
    ASSERT_LT(renamed, calls.size());
    for (size_t i = 0; i < calls.size(); ++i) {
        const TracedCall &call = calls[i];
        std::string where = call.name + " " + call.kind + " #" + std::to_string(call.use);
        RunResult run = Run(Settings(call, "fail"));
        bool harmless = i > renamed || (call.name == "close" && (call.kind == 'r' || call.kind == 'd'));
        if (harmless) {
            EXPECT_EQ(run.output, Added(file.string())) << where;
            EXPECT_EQ(run.exitStatus, 0) << where;
            EXPECT_EQ(ReadBytes(file), after) << where;
        } else {
            EXPECT_TRUE(FailedFor(run, strerror(kInjectedErrors.at(call.name)))) << where << ": " << run.output;
            EXPECT_EQ(run.exitStatus, 1) << where;
            EXPECT_EQ(ReadBytes(file), before) << where;
        }
        EXPECT_EQ(dir.Entries(), std::vector<std::string>{"mapisvc.inf"}) << where;
    }
}

// Killed anywhere, the file holds the old bytes until the rename and the
// complete new ones after it; only a temporary file may be left behind.
TEST_F(CrashPoint, EveryKillLeavesTheOldOrTheNewFile)
{
    std::string after;
    std::vector<TracedCall> calls = Trace(after);
    size_t renamed = RenameIndex(calls);
    for (size_t i = 0; i < calls.size(); ++i) {
        const TracedCall &call = calls[i];
        std::string where = call.name + " " + call.kind + " #" + std::to_string(call.use);
        RunResult run = Run(Settings(call, "kill"));
        EXPECT_EQ(run.signal, SIGKILL) << where;
        EXPECT_EQ(ReadBytes(file), i <= renamed ? before : after) << where;
        for (const std::string &entry : dir.Entries()) {
            if (entry == "mapisvc.inf")
                continue;
            EXPECT_EQ(entry.rfind(kTemporaryPrefix, 0), 0u) << where << ": " << entry;
            fs::remove(dir / entry);
        }
    }
}

// A stop signal (SIGINT, SIGTERM, SIGHUP, SIGQUIT) at any call: until the
// rename the run fails, naming the signal, and leaves the old file and
// nothing beside it; from the rename on (the library signals just before
// making the call) the update is complete and says so. A second one ends the
// process there and then, still leaving nothing beside the file.
TEST_F(CrashPoint, EverySignalLeavesTheOldOrTheNewFileAndIsReported)
{
    std::string after;
    std::vector<TracedCall> calls = Trace(after);
    size_t renamed = RenameIndex(calls);
    const int kinds[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT};
    // Two of a kind held back together merge into one, and held-back ones
    // come lowest number first; the second of each pair has the higher.
    const std::pair<int, int> pairs[] = {{SIGINT, SIGTERM}, {SIGHUP, SIGINT}, {SIGHUP, SIGTERM}};
    for (size_t i = 0; i < calls.size(); ++i) {
        const TracedCall &call = calls[i];
        int signal = kinds[i % 4];
        std::string where = call.name + " " + call.kind + " #" + std::to_string(call.use) + " " + strsignal(signal);
        RunResult run = Run(Settings(call, "signal", "EMSGRAFT_FAULT_SIGNALS=" + std::to_string(signal)));
        if (i >= renamed) {
            EXPECT_EQ(run.output, Added(file.string())) << where;
            EXPECT_EQ(run.exitStatus, 0) << where;
        } else {
            EXPECT_TRUE(FailedFor(run, strsignal(signal))) << where << ": " << run.output;
            EXPECT_EQ(run.exitStatus, 1) << where;
        }
        EXPECT_EQ(ReadBytes(file), i < renamed ? before : after) << where;
        EXPECT_EQ(dir.Entries(), std::vector<std::string>{"mapisvc.inf"}) << where;

        auto [first, second] = pairs[i % 3];  // not SIGQUIT, which would dump core
        std::string twice = std::to_string(first) + "," + std::to_string(second);
        run = Run(Settings(call, "signal", "EMSGRAFT_FAULT_SIGNALS=" + twice));
        EXPECT_EQ(run.signal, second) << where << " twice";
        EXPECT_EQ(ReadBytes(file), i <= renamed ? before : after) << where << " twice";
        EXPECT_EQ(dir.Entries(), std::vector<std::string>{"mapisvc.inf"}) << where << " twice";
    }
}

// What refuses to give the new file the old one's owner, attributes or inode
// flags is told as such; any other failure there (a full disk, an I/O error)
// as itself.
TEST_F(CrashPoint, FailedCarryOverKeepsItsCause)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to give the file away";
    WriteBytes(file, before);
    ASSERT_EQ(chown(file.c_str(), 65534, 65534), 0);
    ASSERT_EQ(setxattr(file.c_str(), "user.origin", "kept", 4, 0), 0);
    ChangeInodeFlags(file, FS_NODUMP_FL, 0);  // where the file system has flags
    std::string after;
    std::vector<TracedCall> calls = Trace(after);
    struct Case {
        const char *call;
        int error;
        const char *refusal;  // nullptr: the error's own description
    };
    for (const Case &c : {Case{"fchown", EIO, nullptr},
                          Case{"fchown", EPERM, "its owner, group and permissions cannot be kept"},
                          Case{"fsetxattr", ENOSPC, nullptr}, Case{"fsetxattr", EDQUOT, nullptr},
                          Case{"fsetxattr", ENOTSUP, "its ACL and extended attributes cannot be kept"},
                          Case{"ioctl", EIO, nullptr},
                          Case{"ioctl", EPERM, "its inode flags and project ID cannot be kept"}}) {
        std::string where = std::string(c.call) + " " + strerror(c.error);
        auto struck = std::find_if(calls.begin(), calls.end(),
                                   [&](const TracedCall &call) { return call.name == c.call && call.kind == 't'; });
        if (struck == calls.end()) {
            EXPECT_EQ(std::string(c.call), "ioctl") << "the update does not call " << c.call;
            continue;  // a file system without inode flags
        }
        RunResult run = Run(Settings(*struck, "fail", "EMSGRAFT_FAULT_ERRNO=" + std::to_string(c.error)));
        EXPECT_EQ(run.output, FailedUpdate(file.string()) + (c.refusal ? c.refusal : strerror(c.error)) + "\n")
            << where;
        EXPECT_EQ(run.exitStatus, 1) << where;
        EXPECT_EQ(ReadBytes(file), before) << where;
        EXPECT_EQ(dir.Entries(), std::vector<std::string>{"mapisvc.inf"}) << where;
    }
}

// Another program swaps the file while the new content is written: for a
// link to a file only root may write (another user who may rename entries in
// the directory), for another file (another program's update), or for
// nothing. The program notices before its rename. It never follows the link
// nor creates the file anew; another file it reads afresh and updates, so
// that the other program's change stays too, or leaves as it is when that
// program registered the service already. A file that changes again at
// every attempt is given up after a few. So is an edit in place that leaves
// size and times as they were (where the file system's clock is coarse, an
// edit within its tick does), and one made while the file is read. Another
// program's lock on the file is waited for, then refused: nothing is written.
TEST_F(CrashPoint, FileSwappedDuringTheUpdateIsNotReplaced)
{
    std::string after;
    Trace(after);
    const std::string victimBytes = "root's own\n";
    const std::string changed = UpdateFailure(file.string()) + "the file was changed or replaced during the update\n";
    fs::path victim = dir / "victim", replacement = dir / "replacement";
    struct Case {
        const char *swap;
        std::string output;
        int status;
    };
    const std::string edit = "; EDITED", appended = "; appended\r\n";
    const std::string locked = UpdateFailure(file.string()) + "the file is locked by another program\n";
    fs::path trace = dir.Path().parent_path() / (dir.Path().filename().string() + ".trace");
    for (const Case &c : {Case{"link", "\n" + changed, 1}, Case{"file", "Done\n", 0},
                          Case{"removal", "\n" + changed, 1}, Case{"registered", "\n" + Exists(file.string()), 1},
                          Case{"changing", "\n" + changed, 1}, Case{"edit", "Done\n", 0},
                          Case{"append", "Done\n", 0}, Case{"lock", "\n" + locked, 1}}) {
        std::string swap = c.swap;
        WriteBytes(victim, victimBytes);
        fs::remove(replacement);
        if (swap == "link")
            fs::create_symlink(victim, replacement);
        else if (swap != "removal")
            WriteBytes(replacement, swap == "registered" ? after : before);
        bool editing = swap == "edit" || swap == "append";
        std::vector<std::string> settings = {std::string("EMSGRAFT_FAULT_CALL=") + (swap == "append" ? "read" : "fsync"),
                                             std::string("EMSGRAFT_FAULT_AT=") + (swap == "changing" ? "every" : "1"),
                                             "EMSGRAFT_FAULT_MODE=" + (editing ? swap : "swap"),
                                             "EMSGRAFT_FAULT_SWAP_TO=" + file.string(),
                                             "EMSGRAFT_FAULT_TEXT=" + (swap == "edit" ? edit : appended),
                                             "EMSGRAFT_FAULT_TRACE=" + trace.string()};
        if (swap != "removal" && !editing)
            settings.push_back("EMSGRAFT_FAULT_SWAP_FROM=" + replacement.string());
        if (swap == "lock")
            settings = {"EMSGRAFT_FAULT_TRACE=" + trace.string()};
        WriteBytes(file, before);
        int holder = open(file.c_str(), O_RDONLY);
        if (swap == "lock")
            flock(holder, LOCK_SH);
        RunResult run = Run(settings);
        close(holder);
        EXPECT_EQ(run.output, Announcement(file.string()) + c.output) << swap;
        EXPECT_EQ(run.exitStatus, c.status) << swap;
        EXPECT_EQ(ReadBytes(victim), victimBytes) << swap;
        EXPECT_EQ(fs::exists(fs::symlink_status(file)), swap != "removal") << swap;
        EXPECT_EQ(fs::is_symlink(file), swap == "link") << swap;
        if (swap == "file" || swap == "registered" || swap == "changing" || swap == "lock") {
            EXPECT_EQ(ReadBytes(file), swap == "changing" || swap == "lock" ? before : after) << swap;
        }
        if (swap == "edit") {
            EXPECT_EQ(ReadBytes(file), edit + after.substr(edit.size()));
        }
        if (swap == "append") {
            EXPECT_NE(ReadBytes(file).find(appended), std::string::npos);
            EXPECT_NE(ReadBytes(file).find("[EMSDelegate]"), std::string::npos);
        }
        // A locked file had nothing written beside it.
        EXPECT_EQ(swap == "lock" && fs::exists(trace) && ReadBytes(trace).find("open t") != std::string::npos, false);
        fs::remove(trace);
        for (const std::string &entry : dir.Entries())
            EXPECT_EQ(entry.find(kTemporaryPrefix), std::string::npos) << swap << ": " << entry;
        fs::remove(file);
    }
}

}  // namespace

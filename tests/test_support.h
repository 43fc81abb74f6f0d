// Helpers shared by the test suites: scratch directories, whole-file I/O,
// running the program under test with its output captured, and the messages
// it prints.
#ifndef EMSGRAFT_TESTS_TEST_SUPPORT_H
#define EMSGRAFT_TESTS_TEST_SUPPORT_H

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/profile.h"

namespace fs = std::filesystem;

// A fresh directory, removed with everything in it at the end of its scope.
class ScratchDirectory {
public:
    ScratchDirectory();
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory &) = delete;
    ScratchDirectory &operator=(const ScratchDirectory &) = delete;
    const fs::path &Path() const { return path_; }
    fs::path operator/(const std::string &name) const { return path_ / name; }
    // Names of the entries in the directory, sorted.
    std::vector<std::string> Entries() const;

private:
    fs::path path_;
};

// A small service file of the usual shape: comments, blank lines, CRLF.
extern const std::string kRealisticServiceFile;

// Whether the program under test is a Windows executable run under Wine
// (EMSGRAFT_WINE names the wine binary).
bool UnderWine();
// A path in Windows form, on Wine's Z: drive.
std::string WindowsPath(const fs::path &path);
// The path as the program under test names it.
std::string Shown(const fs::path &path);
// C:\windows\system32 as the Windows program under test sees it, in the
// tests' Wine prefix (EMSGRAFT_WINE_SYSTEM_DIR): system32 for a 64-bit
// program, syswow64 for a 32-bit one. Throws when it is not a directory.
fs::path WineSystemDirectory();

std::string ReadBytes(const fs::path &path);
void WriteBytes(const fs::path &path, const std::string &bytes);

#ifndef _WIN32
struct RunOptions {
    std::optional<rlim_t> fileSizeLimit;  // RLIMIT_FSIZE in bytes
    std::optional<rlim_t> addressSpaceLimit;  // RLIMIT_AS in bytes
    bool closedOutput = false;            // standard output a pipe that nobody reads
    bool ignoreFileSizeSignal = false;    // SIGXFSZ ignored, so writes fail with EFBIG
    bool unprivileged = false;            // run as nobody when started as root
    fs::path workingDirectory;            // empty: the current one
    std::vector<std::string> environment;  // extra NAME=value entries
    std::optional<std::chrono::microseconds> killAfter;  // SIGKILL then, if still running
    std::function<void(pid_t)> started;  // told the process's id once it runs; must not block
};

struct RunResult {
    int exitStatus = -1;  // -1 when killed by a signal
    int signal = 0;
    std::string output;   // standard output
    std::string errors;   // standard error
};

// Runs `argv` (argv[0] a path), standard output and error captured in files.
RunResult RunProgram(const std::vector<std::string> &argv, const RunOptions &options = {});

// The program this build made, and the program under test: the one
// EMSGRAFT_PROGRAM names (the Windows build, or this one under valgrind),
// else this build's.
extern const char kBuiltProgram[];
std::string ProgramUnderTest();
// Runs `program` with `args`: under Wine when EMSGRAFT_WINE names a wine
// binary, with the CRs that Wine's console puts before each line break
// dropped from the output.
RunResult RunTool(const fs::path &program, const std::vector<std::string> &args, const RunOptions &options = {});
// Runs the program under test.
RunResult RunTool(const std::vector<std::string> &args, const RunOptions &options = {});

// The inode number of a file, 0 when there is none.
ino_t InodeOf(const fs::path &path);

// The inode flags of a file or directory (FS_IOC_GETFLAGS), none where its
// file system has none; and setting and clearing some, false where refused.
std::optional<int> InodeFlags(const fs::path &path);
bool ChangeInodeFlags(const fs::path &path, int set, int clear);

// What a failed update must leave: the output of a failure after the
// announcement for the path shown as `shown`, status 1, and the file (in
// `dir`, alone there) with its bytes `before` and, if given, its time.
struct Untouched {
    const ScratchDirectory &dir;
    fs::path file;
    std::string before;
    std::optional<fs::file_time_type> written;
};
void ExpectFailedAndUntouched(const RunResult &run, const std::string &shown, const Untouched &left);
#endif

// What the program says about the file it shows as `shown`.
// "Adding MSEMS service information to <shown>...", said before the update.
std::string Announcement(const std::string &shown);
// The output of a successful update.
std::string Added(const std::string &shown);
// How the reason for a failed update starts, and how the output of an
// update that failed after the announcement starts.
std::string UpdateFailure(const std::string &shown);
std::string FailedUpdate(const std::string &shown);
// The output for a file that holds the service already, and for a missing one.
std::string Exists(const std::string &shown);
std::string NotFound(const std::string &shown);

// Gives the file a last-write time 400 days old, in whole seconds (Windows
// keeps 100 ns), so that any rewrite shows; returns it.
fs::file_time_type BackDate(const fs::path &file);

// A service file in a scratch directory, updated step by step through the
// platform layer (platform/profile.h): the fixture of the tests that run
// against both layers.
class ProfileFixture : public ::testing::Test {
protected:
    ScratchDirectory dir;
    fs::path file = dir / "mapisvc.inf";
    std::string path = file.string();
    char draft[MAX_PATH] = "";

    // Steps 1 to 3 of an update of `name` (by default the file): the draft
    // that the writes go to.
    bool Begin(const std::string &name = "")
    {
        char profile[MAX_PATH];
        return LocateProfile((name.empty() ? path : name).c_str(), profile, sizeof profile) && ReadProfile(profile) &&
               BeginProfileUpdate(profile, draft, sizeof draft);
    }
    // A key's value as the layer reads it from `from` (by default the file).
    std::string Get(const char *section, const char *key, const std::string &from = "")
    {
        char value[256];
        DWORD length = GetPrivateProfileStringA(section, key, "", value, sizeof value, (from.empty() ? path : from).c_str());
        return std::string(value, length);
    }
    void Put(const char *section, const char *key, const char *value)
    {
        EXPECT_TRUE(WritePrivateProfileStringA(section, key, value, draft)) << section << "/" << key;
    }
};

// A string literal's bytes, NULs included.
template <size_t N>
std::string Literal(const char (&text)[N])
{
    return std::string(text, N - 1);
}

#endif

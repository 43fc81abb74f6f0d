#include "test_support.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <stdlib.h>
#ifndef _WIN32
#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#else
#include <windows.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

ScratchDirectory::ScratchDirectory()
{
#ifdef _WIN32
    // No mkdtemp here: a name from the process id and a counter, tried until new.
    static unsigned counter = 0;
    for (;;) {
        std::string name =
            "emsgraft-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter);
        fs::path candidate = fs::temp_directory_path() / name;
        if (fs::create_directory(candidate)) {
            path_ = candidate;
            return;
        }
    }
#else
    std::string pattern = (fs::temp_directory_path() / "emsgraft-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
#endif
}

ScratchDirectory::~ScratchDirectory()
{
    std::error_code ignored;
    // Restore permissions that a test took away, so that removal succeeds.
    for (auto it = fs::recursive_directory_iterator(path_, ignored); it != fs::recursive_directory_iterator();
         it.increment(ignored)) {
        if (!it->is_symlink())
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    fs::remove_all(path_, ignored);
}

std::vector<std::string> ScratchDirectory::Entries() const
{
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(path_))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

const std::string kRealisticServiceFile =
    "; MAPISVC.INF\r\n"
    ";\r\n"
    "[Services]\r\n"
    "MSFAX XP=Microsoft Fax\r\n"
    "\r\n"
    "[Default Services]\r\n"
    "MSFAX XP=Microsoft Fax\r\n"
    "\r\n"
    "[MSFAX XP]\r\n"
    "PR_DISPLAY_NAME=Microsoft Fax\r\n"
    "Providers=MSFAX XPP\r\n";

bool UnderWine() { return std::getenv("EMSGRAFT_WINE") != nullptr; }

std::string WindowsPath(const fs::path &path)
{
    std::string windows = "Z:" + path.string();
    std::replace(windows.begin(), windows.end(), '/', '\\');
    return windows;
}

std::string Shown(const fs::path &path) { return UnderWine() ? WindowsPath(path) : path.string(); }

fs::path WineSystemDirectory()
{
    const char *directory = std::getenv("EMSGRAFT_WINE_SYSTEM_DIR");
    if (directory == nullptr || !fs::is_directory(directory))
        throw std::runtime_error("EMSGRAFT_WINE_SYSTEM_DIR must name the program's system directory in the prefix");
    return directory;
}

std::string Announcement(const std::string &shown) { return "Adding MSEMS service information to " + shown + "..."; }
std::string Added(const std::string &shown) { return Announcement(shown) + "Done\n"; }
std::string UpdateFailure(const std::string &shown) { return "Unable to update MAPI service file " + shown + ": "; }
std::string FailedUpdate(const std::string &shown) { return Announcement(shown) + "\n" + UpdateFailure(shown); }
std::string Exists(const std::string &shown) { return "MSEMS service information already exists in " + shown + "\n"; }
std::string NotFound(const std::string &shown) { return "MAPI service file " + shown + " not found\n"; }

fs::file_time_type BackDate(const fs::path &file)
{
    auto written = std::chrono::floor<std::chrono::seconds>(fs::last_write_time(file) - std::chrono::hours(24 * 400));
    fs::last_write_time(file, written);
    return written;
}

std::string ReadBytes(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path.string());
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void WriteBytes(const fs::path &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path.string());
}

#ifndef _WIN32
RunResult RunProgram(const std::vector<std::string> &argv, const RunOptions &options)
{
    ScratchDirectory capture;
    fs::path outPath = capture / "stdout", errPath = capture / "stderr";
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        int unread[2];
        if (options.closedOutput && (pipe(unread) != 0 || close(unread[0]) != 0 || (out = unread[1]) < 0))
            _exit(126);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        int in = open("/dev/null", O_RDONLY);
        if (out < 0 || err < 0 || in < 0)
            _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0)
            _exit(126);
        for (const std::string &entry : options.environment)
            putenv(const_cast<char *>(entry.c_str()));
        signal(SIGPIPE, SIG_DFL);
        if (options.ignoreFileSizeSignal)
            signal(SIGXFSZ, SIG_IGN);
        else
            signal(SIGXFSZ, SIG_DFL);
        for (auto [resource, value] : {std::pair{RLIMIT_FSIZE, options.fileSizeLimit},
                                       std::pair{RLIMIT_AS, options.addressSpaceLimit}}) {
            struct rlimit limit = {value.value_or(RLIM_INFINITY), value.value_or(RLIM_INFINITY)};
            if (value && setrlimit(resource, &limit) != 0)
                _exit(126);
        }
        if (options.unprivileged && geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(126);
        std::vector<char *> args;
        for (const std::string &arg : argv)
            args.push_back(const_cast<char *>(arg.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    if (options.started)
        options.started(pid);
    int status = 0;
    bool killPending = options.killAfter.has_value();
    auto deadline = std::chrono::steady_clock::now() + options.killAfter.value_or(std::chrono::microseconds(0));
    for (;;) {
        pid_t ended = waitpid(pid, &status, killPending ? WNOHANG : 0);
        if (ended == pid)
            break;
        if (ended < 0 && errno != EINTR)
            throw std::runtime_error("waitpid failed");
        if (ended == 0 && std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGKILL);
            killPending = false;
        } else if (ended == 0) {
            usleep(500);
        }
    }
    RunResult result;
    if (WIFEXITED(status))
        result.exitStatus = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.signal = WTERMSIG(status);
    result.output = ReadBytes(outPath);
    result.errors = ReadBytes(errPath);
    return result;
}

const char kBuiltProgram[] = EMSGRAFT_PROGRAM;

std::string ProgramUnderTest()
{
    const char *program = std::getenv("EMSGRAFT_PROGRAM");
    return program != nullptr ? program : kBuiltProgram;
}

RunResult RunTool(const fs::path &program, const std::vector<std::string> &args, const RunOptions &options)
{
    std::vector<std::string> argv;
    if (UnderWine())
        argv.push_back(std::getenv("EMSGRAFT_WINE"));
    argv.push_back(program.string());
    argv.insert(argv.end(), args.begin(), args.end());
    RunResult result = RunProgram(argv, options);
    if (UnderWine())
        result.output.erase(std::remove(result.output.begin(), result.output.end(), '\r'), result.output.end());
    return result;
}

RunResult RunTool(const std::vector<std::string> &args, const RunOptions &options)
{
    return RunTool(ProgramUnderTest(), args, options);
}

ino_t InodeOf(const fs::path &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

std::optional<int> InodeFlags(const fs::path &path)
{
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    int flags = 0;
    bool read = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (fd >= 0)
        close(fd);
    return read ? std::optional<int>(flags) : std::nullopt;
}

bool ChangeInodeFlags(const fs::path &path, int set, int clear)
{
    std::optional<int> flags = InodeFlags(path);
    if (!flags)
        return false;
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    int changed = (*flags & ~clear) | set;
    bool ok = fd >= 0 && ioctl(fd, FS_IOC_SETFLAGS, &changed) == 0;
    if (fd >= 0)
        close(fd);
    return ok && InodeFlags(path) == changed;
}

void ExpectFailedAndUntouched(const RunResult &run, const std::string &shown, const Untouched &left)
{
    EXPECT_EQ(run.output.rfind(FailedUpdate(shown), 0), 0u) << run.output;
    EXPECT_EQ(run.output.find("Done"), std::string::npos) << run.output;
    EXPECT_EQ(run.output.empty() ? '\0' : run.output.back(), '\n');
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(ReadBytes(left.file), left.before);
    if (left.written) {
        EXPECT_EQ(fs::last_write_time(left.file), *left.written);
    }
    EXPECT_EQ(left.dir.Entries(), std::vector<std::string>{left.file.filename().string()});
}
#endif

// Preloaded into the program (LD_PRELOAD) to make one of its file calls fail,
// or to kill it there, signal it or swap the file under it there. It stands
// in for the libc functions that the program calls itself: open and openat
// (counted as "open"), read, write, fsync, close, rename and renameat
// (counted as "rename"), fchown, fsetxattr and ioctl. Calls that libc makes inside its
// own functions (printf's writes to standard output, for one) do not pass
// here.
//
// EMSGRAFT_FAULT_TRACE=<file>  appends one line per call: its name and what
//                              it works on ("r" opened for reading or as a
//                              path, "d" a directory, "t" a new file created
//                              exclusively (the temporary file), "w" another
//                              file opened for writing, "-" a path or a
//                              descriptor not opened here)
// EMSGRAFT_FAULT_CALL=<name>   the call to strike ...
// EMSGRAFT_FAULT_AT=<N>        ... at its N-th use (from 1), or "every" use ...
// EMSGRAFT_FAULT_MODE=<mode>   ... "fail": return -1 with a plausible errno
//                              (or EMSGRAFT_FAULT_ERRNO) without doing it
//                              (close still releases the descriptor, as Linux
//                              does); "kill": SIGKILL; "signal": raise each of
//                              EMSGRAFT_FAULT_SIGNALS (numbers, comma-separated)
//                              and then make the call; "swap": exchange
//                              EMSGRAFT_FAULT_SWAP_FROM and EMSGRAFT_FAULT_SWAP_TO
//                              (or, without FROM, remove TO) and then make
//                              the call; "edit": overwrite the start of
//                              EMSGRAFT_FAULT_SWAP_TO with EMSGRAFT_FAULT_TEXT,
//                              keeping its size and times, as an edit within
//                              the granularity of a file system's clock goes
//                              unseen there, and then make the call;
//                              "append": append EMSGRAFT_FAULT_TEXT to
//                              EMSGRAFT_FAULT_SWAP_TO and then make the call.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

enum Call { OPEN, READ, WRITE, FSYNC, CLOSE, RENAME, FCHOWN, FSETXATTR, IOCTL, CALLS };
const char *const kNames[CALLS] = {"open",   "read",   "write",     "fsync", "close",
                                   "rename", "fchown", "fsetxattr", "ioctl"};
// What the call fails with: errors a full disk, a failing disk or a
// protected directory give.
const int kErrors[CALLS] = {EACCES, EIO, ENOSPC, EIO, EIO, EACCES, EPERM, ENOSPC, EIO};

char descriptorKinds[4096];  // kind of each descriptor opened here, 0 if none
int counts[CALLS];

const char *Setting(const char *name)
{
    const char *value = getenv(name);
    return value != NULL && value[0] != '\0' ? value : NULL;
}

char KindOf(int fd) { return fd >= 0 && fd < (int)sizeof descriptorKinds && descriptorKinds[fd] ? descriptorKinds[fd] : '-'; }

void Remember(int fd, char kind)
{
    if (fd >= 0 && fd < (int)sizeof descriptorKinds)
        descriptorKinds[fd] = kind;
}

// Written with raw system calls, so that tracing does not pass through the
// functions it traces.
void Trace(Call call, char kind)
{
    const char *path = Setting("EMSGRAFT_FAULT_TRACE");
    if (path == NULL)
        return;
    int fd = (int)syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    char line[32];
    int length = snprintf(line, sizeof line, "%s %c\n", kNames[call], kind);
    (void)!syscall(SYS_write, fd, line, (size_t)length);
    syscall(SYS_close, fd);
}

// Another program's edit of `path`: `text` at its end, or over its start,
// keeping its size and times. Raw system calls, as in Trace.
void Edit(const char *path, const char *text, bool append)
{
    if (path == NULL || text == NULL)
        return;
    struct stat before;
    int fd = (int)syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_CLOEXEC | (append ? O_APPEND : 0));
    if (fd < 0 || syscall(SYS_fstat, fd, &before) != 0)
        return;
    (void)!syscall(SYS_pwrite64, fd, text, strlen(text), append ? before.st_size : 0);
    if (!append) {
        struct timespec times[2] = {before.st_atim, before.st_mtim};
        syscall(SYS_utimensat, fd, NULL, times, 0);
    }
    syscall(SYS_close, fd);
}

// Counts the call; true when this use is the one to fail (errno is set).
// Does not return when the process is to be killed here.
bool Strike(Call call, char kind)
{
    int saved = errno;
    Trace(call, kind);
    ++counts[call];
    const char *name = Setting("EMSGRAFT_FAULT_CALL");
    const char *at = Setting("EMSGRAFT_FAULT_AT");
    if (name == NULL || at == NULL || strcmp(name, kNames[call]) != 0 ||
        (strcmp(at, "every") != 0 && atoi(at) != counts[call])) {
        errno = saved;
        return false;
    }
    const char *mode = Setting("EMSGRAFT_FAULT_MODE");
    if (mode != NULL && strcmp(mode, "kill") == 0)
        raise(SIGKILL);
    if (mode != NULL && strcmp(mode, "signal") == 0) {
        for (const char *signals = Setting("EMSGRAFT_FAULT_SIGNALS"); signals != NULL;
             signals = strchr(signals, ',') != NULL ? strchr(signals, ',') + 1 : NULL)
            raise(atoi(signals));
        errno = saved;
        return false;
    }
    if (mode != NULL && (strcmp(mode, "edit") == 0 || strcmp(mode, "append") == 0)) {
        Edit(Setting("EMSGRAFT_FAULT_SWAP_TO"), Setting("EMSGRAFT_FAULT_TEXT"), strcmp(mode, "append") == 0);
        errno = saved;
        return false;
    }
    if (mode != NULL && strcmp(mode, "swap") == 0) {
        // An exchange, so that every swap puts another file in TO's place.
        const char *from = Setting("EMSGRAFT_FAULT_SWAP_FROM"), *to = Setting("EMSGRAFT_FAULT_SWAP_TO");
        if (from != NULL)
            syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, RENAME_EXCHANGE);
        else
            syscall(SYS_unlinkat, AT_FDCWD, to, 0);
        errno = saved;
        return false;
    }
    const char *chosen = Setting("EMSGRAFT_FAULT_ERRNO");
    errno = chosen != NULL ? atoi(chosen) : kErrors[call];
    return true;
}

template <typename Function>
Function Real(const char *name)
{
    void *found = dlsym(RTLD_NEXT, name);
    if (found == NULL)
        abort();
    return reinterpret_cast<Function>(found);
}

char KindOfOpen(int flags)
{
    if (flags & O_DIRECTORY)
        return 'd';
    if ((flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL))
        return 't';
    return (flags & O_ACCMODE) == O_RDONLY ? 'r' : 'w';
}

mode_t ModeArgument(int flags, va_list args)
{
    // O_TMPFILE holds O_DIRECTORY
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(args, mode_t) : 0;
}

// Counts an open with these flags, strikes it or makes it with `open`, and
// notes what the descriptor is.
template <typename Open>
int CountedOpen(int flags, Open open)
{
    char kind = KindOfOpen(flags);
    if (Strike(OPEN, kind))
        return -1;
    int fd = open();
    Remember(fd, kind);
    return fd;
}

}  // namespace

extern "C" {

int open(const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = ModeArgument(flags, args);
    va_end(args);
    static auto real = Real<int (*)(const char *, int, ...)>("open");
    return CountedOpen(flags, [&] { return real(path, flags, mode); });
}

int openat(int directory, const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = ModeArgument(flags, args);
    va_end(args);
    static auto real = Real<int (*)(int, const char *, int, ...)>("openat");
    return CountedOpen(flags, [&] { return real(directory, path, flags, mode); });
}

ssize_t read(int fd, void *bytes, size_t size)
{
    if (Strike(READ, KindOf(fd)))
        return -1;
    static auto real = Real<ssize_t (*)(int, void *, size_t)>("read");
    return real(fd, bytes, size);
}

ssize_t write(int fd, const void *bytes, size_t size)
{
    if (Strike(WRITE, KindOf(fd)))
        return -1;
    static auto real = Real<ssize_t (*)(int, const void *, size_t)>("write");
    return real(fd, bytes, size);
}

int fsync(int fd)
{
    if (Strike(FSYNC, KindOf(fd)))
        return -1;
    static auto real = Real<int (*)(int)>("fsync");
    return real(fd);
}

int close(int fd)
{
    char kind = KindOf(fd);
    Remember(fd, 0);
    static auto real = Real<int (*)(int)>("close");
    if (Strike(CLOSE, kind)) {
        int error = errno;
        real(fd);
        errno = error;
        return -1;
    }
    return real(fd);
}

int fchown(int fd, uid_t owner, gid_t group)
{
    if (Strike(FCHOWN, KindOf(fd)))
        return -1;
    static auto real = Real<int (*)(int, uid_t, gid_t)>("fchown");
    return real(fd, owner, group);
}

int fsetxattr(int fd, const char *name, const void *value, size_t size, int flags)
{
    if (Strike(FSETXATTR, KindOf(fd)))
        return -1;
    static auto real = Real<int (*)(int, const char *, const void *, size_t, int)>("fsetxattr");
    return real(fd, name, value, size, flags);
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void *argument = va_arg(args, void *);
    va_end(args);
    if (Strike(IOCTL, KindOf(fd)))
        return -1;
    static auto real = Real<int (*)(int, unsigned long, ...)>("ioctl");
    return real(fd, request, argument);
}

int rename(const char *from, const char *to)
{
    if (Strike(RENAME, '-'))
        return -1;
    static auto real = Real<int (*)(const char *, const char *)>("rename");
    return real(from, to);
}

int renameat(int fromDirectory, const char *from, int toDirectory, const char *to)
{
    if (Strike(RENAME, '-'))
        return -1;
    static auto real = Real<int (*)(int, const char *, int, const char *)>("renameat");
    return real(fromDirectory, from, toDirectory, to);
}

}  // extern "C"

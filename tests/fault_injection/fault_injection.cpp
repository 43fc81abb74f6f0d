// Preloaded into the program (LD_PRELOAD) to make one of its file calls fail,
// or to kill it there. It stands in for the libc functions that the program
// calls itself: open, mkostemp (counted as an open: it creates the temporary
// file), write, fsync, close and rename. Calls that libc makes inside its own
// functions (printf's writes to standard output, for one) do not pass here.
//
// EMSGRAFT_FAULT_TRACE=<file>  appends one line per call: its name and what
//                              it works on ("r" a file opened for reading,
//                              "d" a directory, "t" the temporary file, "w"
//                              another file opened for writing, "-" a path
//                              or a descriptor not opened here)
// EMSGRAFT_FAULT_CALL=<name>   the call to strike ...
// EMSGRAFT_FAULT_AT=<N>        ... at its N-th use (from 1) ...
// EMSGRAFT_FAULT_MODE=<mode>   ... "fail": return -1 with a plausible errno
//                              without doing it (close still releases the
//                              descriptor, as Linux does); "kill": SIGKILL.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

enum Call { OPEN, WRITE, FSYNC, CLOSE, RENAME, CALLS };
const char *const kNames[CALLS] = {"open", "write", "fsync", "close", "rename"};
// What the call fails with: errors a full disk, a failing disk or a
// protected directory give.
const int kErrors[CALLS] = {EACCES, ENOSPC, EIO, EIO, EACCES};

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

// Counts the call; true when this use is the one to fail (errno is set).
// Does not return when the process is to be killed here.
bool Strike(Call call, char kind)
{
    int saved = errno;
    Trace(call, kind);
    ++counts[call];
    const char *name = Setting("EMSGRAFT_FAULT_CALL");
    const char *at = Setting("EMSGRAFT_FAULT_AT");
    if (name == NULL || at == NULL || strcmp(name, kNames[call]) != 0 || atoi(at) != counts[call]) {
        errno = saved;
        return false;
    }
    const char *mode = Setting("EMSGRAFT_FAULT_MODE");
    if (mode != NULL && strcmp(mode, "kill") == 0)
        raise(SIGKILL);
    errno = kErrors[call];
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

}  // namespace

extern "C" {

int open(const char *path, int flags, ...)
{
    mode_t mode = 0;
    if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE) {  // O_TMPFILE holds O_DIRECTORY
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, mode_t);
        va_end(args);
    }
    char kind = (flags & O_DIRECTORY) ? 'd' : (flags & O_ACCMODE) == O_RDONLY ? 'r' : 'w';
    if (Strike(OPEN, kind))
        return -1;
    static auto real = Real<int (*)(const char *, int, ...)>("open");
    int fd = real(path, flags, mode);
    Remember(fd, kind);
    return fd;
}

int mkostemp(char *pattern, int flags)
{
    if (Strike(OPEN, 't'))
        return -1;
    static auto real = Real<int (*)(char *, int)>("mkostemp");
    int fd = real(pattern, flags);
    Remember(fd, 't');
    return fd;
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

int rename(const char *from, const char *to)
{
    if (Strike(RENAME, '-'))
        return -1;
    static auto real = Real<int (*)(const char *, const char *)>("rename");
    return real(from, to);
}

}  // extern "C"

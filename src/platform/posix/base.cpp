#include "platform/base.h"

#include <errno.h>
#include <fcntl.h>
#include <langinfo.h>
#include <locale.h>
#include <signal.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "platform/posix/file_errors.h"

namespace {

// A run ends with its message and its status, never by a signal: a write
// past the file size limit fails with EFBIG instead of killing the process
// half way through, and a closed standard output does not stop an update.
const bool kSignalsIgnored = [] {
    signal(SIGXFSZ, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    return true;
}();

// Standard input, output and error that the caller closed (`>&-`) are opened
// on /dev/null: otherwise the first files the program opens would take their
// numbers, and its messages would be written into them.
const bool kStandardStreamsOpen = [] {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            int null = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
            if (null >= 0 && null != fd)
                close(null);  // a lower number was free: opened in the wrong place
        }
    }
    return true;
}();

}  // namespace

void LastErrorMessage(LPSTR buffer, DWORD size)
{
    if (size == 0)
        return;
    const char *message = emsgraft::FileErrorText(errno);
    if (message == NULL)
        message = strerror(errno);
    strncpy(buffer, message, size - 1);
    buffer[size - 1] = '\0';
}

void Sleep(DWORD milliseconds)
{
    struct timespec pause = {static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

DWORD GetCurrentProcessId(void) { return static_cast<DWORD>(getpid()); }

UINT GetConsoleOutputCP(void)
{
    // The locale the user set, read without leaving it set: nothing else in
    // the program depends on it.
    int error = errno;
    const char *current = setlocale(LC_CTYPE, nullptr);
    std::string previous = current != nullptr ? current : "C";
    bool utf8 = setlocale(LC_CTYPE, "") != nullptr && strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
    setlocale(LC_CTYPE, previous.c_str());
    errno = error;
    return utf8 ? CP_UTF8 : 0;
}

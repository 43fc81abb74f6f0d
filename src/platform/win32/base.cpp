#include "platform/base.h"

#include "platform/file_attributes.h"

#include <stdio.h>
#include <string.h>

// The texts of this program's own error codes.
static const char *OwnErrorText(DWORD Error)
{
    static const char *const Interruptions[] = {"interrupted by Ctrl+C", "interrupted by Ctrl+Break",
                                                "the console was closed", NULL, NULL, "the user logged off",
                                                "the system is shutting down"};
    switch (Error) {
    case ERROR_PROFILE_CHANGED_SINCE_READ:
        return FILE_CHANGED_MESSAGE;
    case ERROR_PROFILE_LOCKED:
        return FILE_LOCKED_MESSAGE;
    case ERROR_PROFILE_COPY_INCOMPLETE:
        return COPY_INCOMPLETE_MESSAGE;
    case ERROR_PROFILE_COPY_REPLACED:
        return COPY_REPLACED_MESSAGE;
    case ERROR_PROFILE_OWNER_NOT_KEPT:
        return OWNER_NOT_KEPT_MESSAGE;
    case ERROR_PROFILE_NOT_A_FILE:
        return "it names a device, not a file";
    default:
        if (Error >= ERROR_PROFILE_INTERRUPTED &&
            Error - ERROR_PROFILE_INTERRUPTED < sizeof Interruptions / sizeof Interruptions[0])
            return Interruptions[Error - ERROR_PROFILE_INTERRUPTED];
        return NULL;
    }
}

void LastErrorMessage(LPSTR buffer, DWORD size)
{
    if (size == 0)
        return;
    DWORD error = GetLastError();
    const char *own = OwnErrorText(error);
    if (own != NULL) {
        snprintf(buffer, size, "%s", own);
        return;
    }
    DWORD length = 0;
    if (error != 0)
        length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, error,
                                MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer, size, NULL);
    if (length == 0) {
        // No text for the code, or no code at all: a write that failed without
        // saying why still gets a reason.
        if (error != 0)
            snprintf(buffer, size, "error %lu", (unsigned long)error);
        else
            snprintf(buffer, size, "the write was refused");
        return;
    }
    // System messages end with a line break that would split our single line.
    while (length > 0 && (buffer[length - 1] == '\r' || buffer[length - 1] == '\n' || buffer[length - 1] == ' '))
        buffer[--length] = '\0';
}

BOOL FileNotFound(void)
{
    DWORD Error = GetLastError();
    return Error == ERROR_FILE_NOT_FOUND || Error == ERROR_PATH_NOT_FOUND || Error == ERROR_INVALID_NAME ||
           Error == ERROR_INVALID_DRIVE || Error == ERROR_BAD_NETPATH || Error == ERROR_BAD_NET_NAME ||
           Error == ERROR_BAD_PATHNAME;
}

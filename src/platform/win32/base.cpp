#include "platform/base.h"

#include <stdio.h>
#include <string.h>

void LastErrorMessage(LPSTR buffer, DWORD size)
{
    if (size == 0)
        return;
    DWORD error = GetLastError();
    if (error == ERROR_PROFILE_CHANGED_SINCE_READ) {
        snprintf(buffer, size, "%s", FILE_CHANGED_MESSAGE);
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

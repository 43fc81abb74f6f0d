#include "platform/base.h"

#include <errno.h>
#include <string.h>

void LastErrorMessage(LPSTR buffer, DWORD size)
{
    if (size == 0)
        return;
    const char *message = strerror(errno);
    strncpy(buffer, message, size - 1);
    buffer[size - 1] = '\0';
}

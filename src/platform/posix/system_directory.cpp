#include "platform/system_directory.h"

#include <string.h>

#ifndef EMSGRAFT_SYSTEM_DIR
#error "EMSGRAFT_SYSTEM_DIR must name the directory of the default service file"
#endif

UINT GetSystemDirectoryA(LPSTR buffer, UINT size)
{
    const char *directory = EMSGRAFT_SYSTEM_DIR;
    UINT length = static_cast<UINT>(strlen(directory));
    if (buffer == NULL || length >= size)
        return length + 1;
    memcpy(buffer, directory, length + 1);
    return length;
}

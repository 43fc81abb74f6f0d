// The directory where the default service file lives.
#ifndef EMSGRAFT_PLATFORM_SYSTEM_DIRECTORY_H
#define EMSGRAFT_PLATFORM_SYSTEM_DIRECTORY_H

#include "platform/base.h"

#ifndef _WIN32
// Copies the configured system directory into `buffer` and returns its length,
// or, when it does not fit in `size` bytes, the size needed including the NUL.
UINT GetSystemDirectoryA(LPSTR buffer, UINT size);
#endif

#endif

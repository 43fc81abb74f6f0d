// Loading a dynamic library at run time and finding a function in it.
#ifndef EMSGRAFT_PLATFORM_LIBRARY_H
#define EMSGRAFT_PLATFORM_LIBRARY_H

#include "platform/base.h"

#ifndef _WIN32
typedef void *HMODULE;
typedef void (*FARPROC)(void);

// Loads the library of exactly that file name, searched for by the system
// loader (LD_LIBRARY_PATH, the loader cache, the default directories).
HMODULE LoadLibraryA(LPCSTR name);
FARPROC GetProcAddress(HMODULE library, LPCSTR name);
BOOL FreeLibrary(HMODULE library);
// Windows drops the current directory from its library search with an empty
// name; the POSIX loader never searches it, so this only succeeds.
BOOL SetDllDirectoryA(LPCSTR directory);
#endif

#endif

// Loading a dynamic library at run time and finding a function in it.
#ifndef EMSGRAFT_PLATFORM_LIBRARY_H
#define EMSGRAFT_PLATFORM_LIBRARY_H

#include "platform/base.h"

#ifndef _WIN32
typedef void *HMODULE;
typedef void *HANDLE;
typedef void (*FARPROC)(void);

#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#define ERROR_INVALID_PARAMETER 87

// Loads a library, for `flags` LOAD_LIBRARY_SEARCH_SYSTEM32 by its file name,
// searched for by the system loader (LD_LIBRARY_PATH, the loader cache, the
// default directories): the loader's own directories are the system's, and it
// never searches the program's folder, PATH or the working directory. Other
// flags, or a `file`, fail with ERROR_INVALID_PARAMETER.
HMODULE LoadLibraryExA(LPCSTR name, HANDLE file, DWORD flags);
FARPROC GetProcAddress(HMODULE library, LPCSTR name);
BOOL FreeLibrary(HMODULE library);
// The error of the last library function above that failed; 0 when the
// loader gave no code.
DWORD GetLastError(void);
#endif

#endif

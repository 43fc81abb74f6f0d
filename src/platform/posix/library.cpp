#include "platform/library.h"

#include <dlfcn.h>

namespace {
DWORD LastLibraryError = 0;
}

HMODULE LoadLibraryExA(LPCSTR name, HANDLE file, DWORD flags)
{
    if (file != nullptr || flags != LOAD_LIBRARY_SEARCH_SYSTEM32) {
        LastLibraryError = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    HMODULE library = dlopen(name, RTLD_NOW | RTLD_LOCAL);
    LastLibraryError = 0;
    return library;
}

DWORD GetLastError(void) { return LastLibraryError; }

FARPROC GetProcAddress(HMODULE library, LPCSTR name)
{
    // POSIX guarantees that a data pointer from dlsym converts to a function pointer.
    return reinterpret_cast<FARPROC>(dlsym(library, name));
}

BOOL FreeLibrary(HMODULE library) { return dlclose(library) == 0; }

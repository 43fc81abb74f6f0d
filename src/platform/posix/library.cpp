#include "platform/library.h"

#include <dlfcn.h>

HMODULE LoadLibraryA(LPCSTR name) { return dlopen(name, RTLD_NOW | RTLD_LOCAL); }

FARPROC GetProcAddress(HMODULE library, LPCSTR name)
{
    // POSIX guarantees that a data pointer from dlsym converts to a function pointer.
    return reinterpret_cast<FARPROC>(dlsym(library, name));
}

BOOL FreeLibrary(HMODULE library) { return dlclose(library) == 0; }

BOOL SetDllDirectoryA(LPCSTR) { return TRUE; }

#include "mapi/installed_service_file.h"

#include <stdio.h>
#include <string.h>

#include "platform/base.h"
#include "platform/library.h"
#include "platform/system_directory.h"

typedef BOOL(WINAPI *FGETCOMPONENTPATH)(LPCSTR Component, LPCSTR Qualifier, LPSTR Path, DWORD Size, BOOL Install);

static const char MAPI_COMPONENT_ID[] = "{FF1D0740-D227-11D1-A4B0-006008AF820E}";

// Tried in order, the last being no qualifier at all. Each qualifier: a
// registry key path, then value names, each ended by a NUL, the list ended by
// one more (the literal's own).
static const char *const MAPI_QUALIFIERS[] = {
    "Microsoft\\Office\\9.0\\Outlook\0LastUILanguage\0",
    "Microsoft\\Office\\9.0\\Common\\LanguageResources\0UILanguage\0InstallLanguage\0",
    NULL,
};
static const int MAPI_QUALIFIER_COUNT = sizeof MAPI_QUALIFIERS / sizeof MAPI_QUALIFIERS[0];

HMODULE LoadLibraryFromSystemDirectory(LPCSTR Name)
{
    char Path[MAX_PATH];
    UINT Length = GetSystemDirectoryA(Path, MAX_PATH);
    if (Length == 0 || Length >= MAX_PATH)
        return NULL;
    if (Path[Length - 1] != PATH_SEPARATOR)
        Path[Length++] = PATH_SEPARATOR;
    if (Length + strlen(Name) >= MAX_PATH)
        return NULL;
    strcpy(Path + Length, Name);
    // The libraries it needs are looked for in its own directory first.
    return LoadLibraryExA(Path, NULL, LOAD_WITH_ALTERED_SEARCH_PATH);
}

// MAPI's stub libraries live in the system directory. A run as administrator
// must not load one planted beside the program (often a download folder), on
// PATH or in the working directory, as the standard search would.
static HMODULE LoadSystemLibrary(LPCSTR Name)
{
    HMODULE Library = LoadLibraryExA(Name, NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    // A Windows without the update that brought the flag refuses it.
    if (Library == NULL && GetLastError() == ERROR_INVALID_PARAMETER)
        Library = LoadLibraryFromSystemDirectory(Name);
    return Library;
}

void FindInstalledServiceFile(char *ServiceFilePath)
{
    HMODULE Library = LoadSystemLibrary("mapistub.dll");
    if (Library == NULL)
        Library = LoadSystemLibrary("mapi32.dll");
    if (Library == NULL) {
        printf("Unable to load MAPI DLLs\n");
        return;
    }

    // One byte more than the library is told of, so the path always ends.
    char ComponentPath[MAX_PATH + 1];
    memset(ComponentPath, 0, sizeof ComponentPath);

    // Through the generic function type: Windows' FARPROC claims no
    // parameters, and a direct cast draws -Wcast-function-type.
    FGETCOMPONENTPATH FGetComponentPath =
        (FGETCOMPONENTPATH)(void (*)(void))GetProcAddress(Library, "FGetComponentPath");
    BOOL Found = FALSE;
    for (int i = 0; FGetComponentPath != NULL && !Found && i < MAPI_QUALIFIER_COUNT; i++)
        Found = FGetComponentPath(MAPI_COMPONENT_ID, MAPI_QUALIFIERS[i], ComponentPath, MAX_PATH, TRUE) &&
                ComponentPath[0] != '\0';

    if (Found) {
        const char *Separator = strrchr(ComponentPath, PATH_SEPARATOR);
        size_t DirectoryLength = Separator != NULL ? (size_t)(Separator - ComponentPath) + 1 : 0;
        // A directory too long for the name keeps the default path.
        if (DirectoryLength + sizeof SERVICE_FILE_NAME <= MAX_PATH) {
            memcpy(ServiceFilePath, ComponentPath, DirectoryLength);
            strcpy(ServiceFilePath + DirectoryLength, SERVICE_FILE_NAME);
        }
    }

    FreeLibrary(Library);
}

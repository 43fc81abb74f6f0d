#include "mapi/installed_service_file.h"

#include <stdio.h>
#include <string.h>

#include "platform/base.h"
#include "platform/library.h"
#include "platform/system_directory.h"

typedef BOOL(WINAPI *FGETCOMPONENTPATH)(LPCSTR Component, LPCSTR Qualifier, LPSTR Path, DWORD Size, BOOL Install);

static const char MAPI_COMPONENT_ID[] = "{FF1D0740-D227-11D1-A4B0-006008AF820E}";

// Tried in order, the last being no qualifier at all; on Windows, the mail
// client's own follow (ReadMailClientQualifiers). Each qualifier: a
// registry key path, then value names, each ended by a NUL, the list ended by
// one more (the literal's own).
static const char *const MAPI_QUALIFIERS[] = {
    "Microsoft\\Office\\9.0\\Outlook\0LastUILanguage\0",
    "Microsoft\\Office\\9.0\\Common\\LanguageResources\0UILanguage\0InstallLanguage\0",
    NULL,
};
static const int MAPI_QUALIFIER_COUNT = sizeof MAPI_QUALIFIERS / sizeof MAPI_QUALIFIERS[0];

BOOL SystemDirectoryFile(LPCSTR Name, char *Path)
{
    UINT Length = GetSystemDirectoryA(Path, MAX_PATH);
    if (Length == 0 || Length >= MAX_PATH) {
        Path[0] = '\0';
        return FALSE;
    }
    if (Path[Length - 1] != PATH_SEPARATOR)
        Path[Length++] = PATH_SEPARATOR;
    if (Length + strlen(Name) >= MAX_PATH) {
        Path[0] = '\0';
        return FALSE;
    }
    strcpy(Path + Length, Name);
    return TRUE;
}

#ifdef _WIN32
HMODULE LoadLibraryFromSystemDirectory(LPCSTR Name)
{
    char Path[MAX_PATH];
    if (!SystemDirectoryFile(Name, Path))
        return NULL;
    // The libraries it needs are looked for in its own directory first.
    return LoadLibraryExA(Path, NULL, LOAD_WITH_ALTERED_SEARCH_PATH);
}
#endif

// MAPI's stub libraries live in the system directory. A run as administrator
// must not load one planted beside the program (often a download folder), on
// PATH or in the working directory, as the standard search would.
static HMODULE LoadSystemLibrary(LPCSTR Name)
{
    HMODULE Library = LoadLibraryExA(Name, NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
#ifdef _WIN32
    // A Windows without the update that brought the flag refuses it.
    if (Library == NULL && GetLastError() == ERROR_INVALID_PARAMETER)
        Library = LoadLibraryFromSystemDirectory(Name);
#endif
    return Library;
}

// Whether the library gives a path for `Qualifier`; it writes the path into
// `ComponentPath` (MAX_PATH bytes are said, one more ends it).
static BOOL AskComponentPath(FGETCOMPONENTPATH FGetComponentPath, LPCSTR Qualifier, char *ComponentPath)
{
    return FGetComponentPath(MAPI_COMPONENT_ID, Qualifier, ComponentPath, MAX_PATH, TRUE) &&
           ComponentPath[0] != '\0';
}

#ifdef _WIN32
// Every mail client registers under this key, in each registry view; its
// default value names the default client.
static const char MAIL_CLIENTS_KEY[] = "Software\\Clients\\Mail";
// The client's values that hold qualifiers naming where its language is
// kept, in the order they are tried.
static const char *const CLIENT_QUALIFIER_VALUES[] = {"MSIApplicationLCID", "MSIOfficeLCID"};
#define CLIENT_QUALIFIER_COUNT 2
// A key path and a few value names fit many times over; anything longer is
// not a qualifier.
#define MAX_CLIENT_QUALIFIER_SIZE 1024
// A key name in the registry has at most 255 characters, which may take two
// bytes each in a multibyte code page.
#define MAX_KEY_NAME_SIZE 512

// Reads the string value `Name` (NULL: the default value) of `Key` into
// `Buffer` (`Size` bytes) and ends it with a NUL: registry strings need not
// have one. FALSE when the value is missing, not a string or too long.
static BOOL ReadRegistryString(HKEY Key, LPCSTR Name, char *Buffer, DWORD Size)
{
    DWORD Type = REG_NONE;
    DWORD Length = Size - 1;
    if (RegQueryValueExA(Key, Name, NULL, &Type, (LPBYTE)Buffer, &Length) != ERROR_SUCCESS || Type != REG_SZ)
        return FALSE;
    Buffer[Length] = '\0';
    return TRUE;
}

// Opens the key of client `Name` under `MailClients`, in registry view
// `View`, when its MSIComponentID is MAPI's component; else NULL. The name
// must name a subkey of its own, not a path.
static HKEY OpenMapiClient(HKEY MailClients, LPCSTR Name, REGSAM View)
{
    HKEY Client;
    if (Name[0] == '\0' || strchr(Name, '\\') != NULL ||
        RegOpenKeyExA(MailClients, Name, 0, KEY_READ | View, &Client) != ERROR_SUCCESS)
        return NULL;
    char ComponentId[sizeof MAPI_COMPONENT_ID + 1];
    if (ReadRegistryString(Client, "MSIComponentID", ComponentId, sizeof ComponentId) &&
        lstrcmpiA(ComponentId, MAPI_COMPONENT_ID) == 0)
        return Client;
    RegCloseKey(Client);
    return NULL;
}

// Opens the key of the mail client that uses MAPI in registry view `View`:
// the default client if it does, else the first in the registry's order of
// the subkeys that does; NULL when none does.
static HKEY OpenMapiMailClient(REGSAM View)
{
    HKEY MailClients;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, MAIL_CLIENTS_KEY, 0, KEY_READ | View, &MailClients) != ERROR_SUCCESS)
        return NULL;
    char Name[MAX_KEY_NAME_SIZE];
    HKEY Client = NULL;
    if (ReadRegistryString(MailClients, NULL, Name, sizeof Name))
        Client = OpenMapiClient(MailClients, Name, View);
    for (DWORD Index = 0; Client == NULL; Index++) {
        DWORD Length = sizeof Name;
        LONG Status = RegEnumKeyExA(MailClients, Index, Name, &Length, NULL, NULL, NULL, NULL);
        if (Status == ERROR_SUCCESS)
            Client = OpenMapiClient(MailClients, Name, View);
        else if (Status != ERROR_MORE_DATA)
            break;
    }
    RegCloseKey(MailClients);
    return Client;
}

// The other registry view on 64-bit Windows, where 32-bit and 64-bit
// programs register apart on some versions; 0 on 32-bit Windows, which has
// only one. A 64-bit program always runs on 64-bit Windows.
static REGSAM OtherRegistryView(void)
{
#ifdef _WIN64
    return KEY_WOW64_32KEY;
#else
    BOOL Wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &Wow64) && Wow64 ? KEY_WOW64_64KEY : 0;
#endif
}

// Reads the qualifiers of the mail client that uses MAPI. The client is
// looked for in the program's own registry view, then in the other one;
// the first found gives both values, read in its view. A value is taken
// only when it is a REG_MULTI_SZ of at most MAX_CLIENT_QUALIFIER_SIZE bytes
// that starts with a key path and ends with two NULs: whoever may write the
// key chooses its bytes, and the library reads the list up to its empty
// string. `HasQualifier[i]` tells whether `Qualifiers[i]` holds one.
static void ReadMailClientQualifiers(char Qualifiers[][MAX_CLIENT_QUALIFIER_SIZE], BOOL *HasQualifier)
{
    HKEY Client = OpenMapiMailClient(0);
    REGSAM OtherView = OtherRegistryView();
    if (Client == NULL && OtherView != 0)
        Client = OpenMapiMailClient(OtherView);
    if (Client == NULL)
        return;
    for (int i = 0; i < CLIENT_QUALIFIER_COUNT; i++) {
        DWORD Type = REG_NONE;
        DWORD Size = MAX_CLIENT_QUALIFIER_SIZE;
        char *Qualifier = Qualifiers[i];
        HasQualifier[i] =
            RegQueryValueExA(Client, CLIENT_QUALIFIER_VALUES[i], NULL, &Type, (LPBYTE)Qualifier, &Size) ==
                ERROR_SUCCESS &&
            Type == REG_MULTI_SZ && Size >= 2 && Qualifier[0] != '\0' &&
            Qualifier[Size - 2] == '\0' && Qualifier[Size - 1] == '\0';
    }
    RegCloseKey(Client);
}
#endif

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
        Found = AskComponentPath(FGetComponentPath, MAPI_QUALIFIERS[i], ComponentPath);
#ifdef _WIN32
    // Those qualifiers name the language values of one old MAPI version,
    // and without one the library finds only a MAPI in the user's or the
    // system's language or in US English. The mail client that uses MAPI
    // names where its own language is kept.
    char ClientQualifiers[CLIENT_QUALIFIER_COUNT][MAX_CLIENT_QUALIFIER_SIZE];
    BOOL HasClientQualifier[CLIENT_QUALIFIER_COUNT] = {FALSE, FALSE};
    if (FGetComponentPath != NULL && !Found)
        ReadMailClientQualifiers(ClientQualifiers, HasClientQualifier);
    for (int i = 0; FGetComponentPath != NULL && !Found && i < CLIENT_QUALIFIER_COUNT; i++) {
        if (HasClientQualifier[i])
            Found = AskComponentPath(FGetComponentPath, ClientQualifiers[i], ComponentPath);
    }
#endif

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

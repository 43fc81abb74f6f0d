// Steps 1 and 2 on Windows: the file the profile functions are to reach, and
// its bytes and version as read.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform/profile.h"
#include "platform/win32/update.h"

PROFILE_UPDATE Update;

BOOL FailWith(DWORD Error)
{
    SetLastError(Error);
    return FALSE;
}

HANDLE OpenShared(LPCSTR Path, DWORD Access, DWORD Flags)
{
    for (int Try = 0;;) {
        HANDLE File = CreateFileA(Path, Access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                  OPEN_EXISTING, Flags, NULL);
        if (File != INVALID_HANDLE_VALUE || !RetryRefused(&Try))
            return File;
    }
}

char *ReadWhole(HANDLE File, DWORD Length)
{
    char *Bytes = (char *)malloc((size_t)Length + 1);
    if (Bytes == NULL) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    LARGE_INTEGER Start = {};
    DWORD Got = 0, Done = 0;
    BOOL Read = SetFilePointerEx(File, Start, NULL, FILE_BEGIN);
    for (; Read && Done < Length; Done += Got) {
        Read = ReadFile(File, Bytes + Done, Length - Done, &Got, NULL);
        if (Read && Got == 0)
            Read = FailWith(ERROR_HANDLE_EOF);
    }
    // One byte more: a file that grew while read is not the version noted.
    char More;
    if (Read && ReadFile(File, &More, 1, &Got, NULL) && Got != 0)
        Read = FailWith(ERROR_PROFILE_CHANGED_SINCE_READ);
    if (!Read) {
        DWORD Error = GetLastError();
        free(Bytes);
        SetLastError(Error);
        return NULL;
    }
    Bytes[Length] = '\0';
    return Bytes;
}

void VersionOf(const BY_HANDLE_FILE_INFORMATION *Info, FILE_VERSION *Version)
{
    memset(Version, 0, sizeof *Version);
    Version->Volume = Info->dwVolumeSerialNumber;
    Version->IndexHigh = Info->nFileIndexHigh;
    Version->IndexLow = Info->nFileIndexLow;
    Version->SizeHigh = Info->nFileSizeHigh;
    Version->SizeLow = Info->nFileSizeLow;
    Version->LastWrite = Info->ftLastWriteTime;
}

BOOL IsVersionRead(const BY_HANDLE_FILE_INFORMATION *Info)
{
    FILE_VERSION Version;
    VersionOf(Info, &Version);
    return Update.Bytes != NULL && memcmp(&Version, &Update.Version, sizeof Version) == 0;
}

HANDLE OpenTheVersionRead(DWORD Access)
{
    HANDLE File = OpenShared(Update.Path, Access, FILE_ATTRIBUTE_NORMAL);
    DWORD Error = GetLastError();
    if (File == INVALID_HANDLE_VALUE) {
        BOOL Gone = Error == ERROR_FILE_NOT_FOUND || Error == ERROR_PATH_NOT_FOUND;
        SetLastError(Gone ? ERROR_PROFILE_CHANGED_SINCE_READ : Error);
        return File;
    }
    BY_HANDLE_FILE_INFORMATION Info;
    BOOL Known = GetFileInformationByHandle(File, &Info);
    Error = GetLastError();
    if (Known && IsVersionRead(&Info))
        return File;
    CloseHandle(File);
    SetLastError(Known ? ERROR_PROFILE_CHANGED_SINCE_READ : Error);
    return INVALID_HANDLE_VALUE;
}

// Whether Windows keeps the entries of files of this name in the registry:
// HKLM\...\IniFileMapping\<file name>, in the registry view of this program's
// own bitness, and, for a 32-bit program on 64-bit Windows, in the 64-bit
// view too, which some systems' profile functions read (Wine's do). Only a
// plainly absent key means no mapping.
static BOOL MappedToRegistry(LPCSTR Path)
{
    const char *Name = Path;
    for (const char *c = Path; *c != '\0'; c++) {
        if (*c == '\\' || *c == '/' || *c == ':')
            Name = c + 1;
    }
    char Key[MAX_PATH + 64];
    snprintf(Key, sizeof Key, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\IniFileMapping\\%s", Name);
    BOOL Wow64 = FALSE;
#ifndef _WIN64
    IsWow64Process(GetCurrentProcess(), &Wow64);
#endif
    for (REGSAM View = 0;; View = KEY_WOW64_64KEY) {
        HKEY Mapping;
        LONG Status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, Key, 0, KEY_QUERY_VALUE | View, &Mapping);
        if (Status == ERROR_SUCCESS)
            RegCloseKey(Mapping);
        if (Status != ERROR_FILE_NOT_FOUND)
            return TRUE;
        if (!Wow64 || View != 0)
            return FALSE;
    }
}

// Points `Path` (MAX_PATH bytes) at the file itself where it names a
// symbolic link, or goes through one: the replace would put the new file in
// the link's place and leave its target as it was. Windows before Vista has
// no GetFinalPathNameByHandleA, and no links to files either. A file that
// cannot be opened keeps its path: the later steps say why.
static BOOL FollowLinks(LPSTR Path)
{
    typedef DWORD(WINAPI * GETFINALPATHNAMEBYHANDLEA)(HANDLE, LPSTR, DWORD, DWORD);
    GETFINALPATHNAMEBYHANDLEA GetFinalPath = (GETFINALPATHNAMEBYHANDLEA)(void (*)(void))GetProcAddress(
        GetModuleHandleA("kernel32.dll"), "GetFinalPathNameByHandleA");
    if (GetFinalPath == NULL)
        return TRUE;
    HANDLE File = CreateFileA(Path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (File == INVALID_HANDLE_VALUE)
        return TRUE;
    char Final[MAX_PATH + 8];
    DWORD Length = GetFinalPath(File, Final, sizeof Final, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    DWORD Error = GetLastError();
    CloseHandle(File);
    if (Length == 0)
        return FailWith(Error);
    // "\\?\C:\dir\name", or "\\?\UNC\server\share\name" for "\\server\share\name".
    const char *Name = Final;
    if (Length < sizeof Final && strncmp(Final, "\\\\?\\UNC\\", 8) == 0) {
        Name = Final + 6;
        Final[6] = '\\';
    } else if (Length < sizeof Final && strncmp(Final, "\\\\?\\", 4) == 0) {
        Name = Final + 4;
    }
    if (Length >= sizeof Final || strlen(Name) >= MAX_PATH)
        return FailWith(ERROR_FILENAME_EXCED_RANGE);
    strcpy(Path, Name);
    return TRUE;
}

BOOL LocateProfile(LPCSTR Path, LPSTR Resolved, DWORD Size)
{
    free(Update.Bytes);
    memset(&Update, 0, sizeof Update);
    CatchConsoleControl();
    // The full path that the profile functions reach. They look for a name
    // without any directory in the Windows directory, but the existence test
    // found it in the current one (or, for "C:name.inf", in drive C's
    // current directory): that is the file meant.
    char *Name = NULL;
    DWORD Length = GetFullPathNameA(Path, MAX_PATH, Update.Path, &Name);
    if (Length == 0)
        return FALSE;
    // A device's name ("nul.inf", "con.inf" on most Windows) becomes "\\.\nul".
    if (Length < MAX_PATH && strncmp(Update.Path, "\\\\.\\", 4) == 0)
        return FailWith(ERROR_PROFILE_NOT_A_FILE);
    if (Length >= MAX_PATH || Name == NULL)
        return FailWith(ERROR_FILENAME_EXCED_RANGE);
    // A mapped name is written as the system maps it, by the name given.
    Update.Mapped = MappedToRegistry(Update.Path);
    if (!Update.Mapped && !FollowLinks(Update.Path))
        return FALSE;
    if (strlen(Update.Path) >= Size)
        return FailWith(ERROR_FILENAME_EXCED_RANGE);
    strcpy(Resolved, Update.Path);
    return TRUE;
}

// Why a file that was read may not be read again: it was removed or
// replaced meanwhile.
static DWORD ReadAgainError(DWORD Error)
{
    BOOL Gone = Error == ERROR_FILE_NOT_FOUND || Error == ERROR_PATH_NOT_FOUND;
    return Gone && Update.ReadBefore ? ERROR_PROFILE_CHANGED_SINCE_READ : Error;
}

BOOL ReadProfile(LPCSTR Path)
{
    free(Update.Bytes);
    Update.Bytes = NULL;
    Update.Length = 0;
    Update.ReadError = ERROR_SUCCESS;
    if (strcmp(Path, Update.Path) != 0)
        return FailWith(Update.ReadError = ERROR_INVALID_PARAMETER);
    // A mapped name is read where Windows keeps it, by the profile functions.
    if (Update.Mapped || !NotStopped())
        return Update.Mapped || FailWith(Update.ReadError = GetLastError());
    // A directory opens too, so as to be told from a file that refuses for
    // a moment.
    HANDLE File = OpenShared(Path, GENERIC_READ, FILE_FLAG_BACKUP_SEMANTICS);
    GetSystemTimeAsFileTime(&Update.ReadAt);
    Update.ReadTick = GetTickCount();
    BY_HANDLE_FILE_INFORMATION Info;
    BOOL Read = File != INVALID_HANDLE_VALUE && GetFileInformationByHandle(File, &Info);
    // Only regular files of a disk: a device or pipe could hang the read.
    if (Read && GetFileType(File) != FILE_TYPE_DISK)
        Read = FailWith(ERROR_PROFILE_NOT_A_FILE);
    if (Read && (Info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        Read = FailWith(ERROR_ACCESS_DENIED);  // what opening a directory for writing says
    if (Read && (Info.nFileSizeHigh != 0 || Info.nFileSizeLow >= 0x7FFFFFFF))
        Read = FailWith(ERROR_FILE_TOO_LARGE);
    if (Read)
        Update.Bytes = ReadWhole(File, Info.nFileSizeLow);
    DWORD Error = ReadAgainError(GetLastError());
    if (File != INVALID_HANDLE_VALUE)
        CloseHandle(File);
    if (Update.Bytes == NULL)
        return FailWith(Update.ReadError = Error == ERROR_HANDLE_EOF ? ERROR_PROFILE_CHANGED_SINCE_READ : Error);
    Update.ReadBefore = TRUE;
    Update.Length = Info.nFileSizeLow;
    Update.Attributes = Info.dwFileAttributes;
    Update.Creation = Info.ftCreationTime;
    VersionOf(&Info, &Update.Version);
    return TRUE;
}

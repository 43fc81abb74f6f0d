// Step 5 on Windows: the copy checked on disk, given what the file carries
// beside its content, and renamed over the file in one step.
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <stddef.h>

#include "platform/profile.h"
#include "platform/profile_rules.h"
#include "platform/win32/update.h"

// The attributes that the file keeps through an update; a changed file is
// marked for backup, as any write marks it.
static const DWORD CARRIED_ATTRIBUTES = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                       FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
                                       FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// Enables a privilege that the process holds (an administrator's, say);
// FALSE when it holds none of that name. `Previous` receives what undoes it.
static BOOL EnablePrivilege(LPCSTR Name, TOKEN_PRIVILEGES *Previous)
{
    HANDLE Token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &Token))
        return FALSE;
    TOKEN_PRIVILEGES Wanted = {};
    Wanted.PrivilegeCount = 1;
    Wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    DWORD Size = sizeof *Previous;
    BOOL Enabled = LookupPrivilegeValueA(NULL, Name, &Wanted.Privileges[0].Luid) &&
                   AdjustTokenPrivileges(Token, FALSE, &Wanted, Size, Previous, &Size) &&
                   GetLastError() == ERROR_SUCCESS;  // not ERROR_NOT_ALL_ASSIGNED
    CloseHandle(Token);
    return Enabled;
}

static void RestorePrivilege(TOKEN_PRIVILEGES *Previous)
{
    HANDLE Token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &Token))
        return;
    AdjustTokenPrivileges(Token, FALSE, Previous, 0, NULL, NULL);
    CloseHandle(Token);
}

// The SACL is read and carried only where the process may (an
// administrator's SeSecurityPrivilege, enabled for the rest of the run).
static BOOL SaclReadable(void)
{
    static int Readable = -1;
    TOKEN_PRIVILEGES Previous;
    if (Readable < 0)
        Readable = EnablePrivilege(SE_SECURITY_NAME, &Previous);
    return Readable;
}

DWORD CarriedSecurityAccess(void) { return READ_CONTROL | (SaclReadable() ? ACCESS_SYSTEM_SECURITY : 0); }

BOOL ReadCarriedSecurity(HANDLE File)
{
    SECURITY_INFORMATION Parts = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                 DACL_SECURITY_INFORMATION | (SaclReadable() ? SACL_SECURITY_INFORMATION : 0);
    DWORD Needed = 0;
    GetKernelObjectSecurity(File, Parts, NULL, 0, &Needed);
    DWORD Error = GetLastError();
    // A volume without permissions (FAT) has none to carry.
    if (Error == ERROR_NOT_SUPPORTED || Error == ERROR_INVALID_FUNCTION)
        return TRUE;
    if (Error != ERROR_INSUFFICIENT_BUFFER)
        return FALSE;
    Update.Security = malloc(Needed);
    if (Update.Security == NULL)
        return FailWith(ERROR_NOT_ENOUGH_MEMORY);
    if (!GetKernelObjectSecurity(File, Parts, Update.Security, Needed, &Needed))
        return FALSE;
    // Whether the lists inherit from the directory, as the file's did.
    SECURITY_DESCRIPTOR_CONTROL Control = 0;
    DWORD Revision;
    GetSecurityDescriptorControl(Update.Security, &Control, &Revision);
    Parts |= Control & SE_DACL_PROTECTED ? PROTECTED_DACL_SECURITY_INFORMATION : UNPROTECTED_DACL_SECURITY_INFORMATION;
    if (Parts & SACL_SECURITY_INFORMATION)
        Parts |= Control & SE_SACL_PROTECTED ? PROTECTED_SACL_SECURITY_INFORMATION
                                             : UNPROTECTED_SACL_SECURITY_INFORMATION;
    Update.SecurityParts = Parts;
    return TRUE;
}

static BOOL SameSid(PSID a, PSID b) { return a == NULL ? b == NULL : b != NULL && EqualSid(a, b); }

static BOOL SameAcl(BOOL aPresent, PACL a, BOOL bPresent, PACL b)
{
    if (aPresent != bPresent || (a == NULL) != (b == NULL))
        return FALSE;
    if (a == NULL || a->AceCount != b->AceCount)
        return a == NULL;
    for (DWORD i = 0; i < a->AceCount; i++) {
        ACE_HEADER *aAce, *bAce;
        if (!GetAce(a, i, (void **)&aAce) || !GetAce(b, i, (void **)&bAce) || aAce->AceSize != bAce->AceSize ||
            memcmp(aAce, bAce, aAce->AceSize) != 0)
            return FALSE;
    }
    return TRUE;
}

void NarrowCarriedSecurity(HANDLE Copy)
{
    if (Update.Security == NULL)
        return;
    char Own[4096];
    DWORD Needed;
    if (!GetKernelObjectSecurity(Copy, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                           DACL_SECURITY_INFORMATION, Own, sizeof Own, &Needed))
        return;  // all of it is given
    PSID OwnerA, OwnerB, GroupA, GroupB;
    BOOL Defaulted, PresentA, PresentB;
    PACL DaclA, DaclB;
    SECURITY_DESCRIPTOR_CONTROL ControlA = 0, ControlB = 0;
    DWORD Revision;
    GetSecurityDescriptorOwner(Update.Security, &OwnerA, &Defaulted);
    GetSecurityDescriptorOwner(Own, &OwnerB, &Defaulted);
    GetSecurityDescriptorGroup(Update.Security, &GroupA, &Defaulted);
    GetSecurityDescriptorGroup(Own, &GroupB, &Defaulted);
    GetSecurityDescriptorDacl(Update.Security, &PresentA, &DaclA, &Defaulted);
    GetSecurityDescriptorDacl(Own, &PresentB, &DaclB, &Defaulted);
    GetSecurityDescriptorControl(Update.Security, &ControlA, &Revision);
    GetSecurityDescriptorControl(Own, &ControlB, &Revision);
    SECURITY_INFORMATION Same = 0;
    if (SameSid(OwnerA, OwnerB))
        Same |= OWNER_SECURITY_INFORMATION;
    if (SameSid(GroupA, GroupB))
        Same |= GROUP_SECURITY_INFORMATION;
    if (SameAcl(PresentA, DaclA, PresentB, DaclB) && (ControlA & SE_DACL_PROTECTED) == (ControlB & SE_DACL_PROTECTED))
        Same |= DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION;
    // The audit list is given where the file has one.
    BOOL SaclPresent = FALSE;
    PACL Sacl = NULL;
    GetSecurityDescriptorSacl(Update.Security, &SaclPresent, &Sacl, &Defaulted);
    if (!SaclPresent || Sacl == NULL)
        Same |= SACL_SECURITY_INFORMATION | PROTECTED_SACL_SECURITY_INFORMATION | UNPROTECTED_SACL_SECURITY_INFORMATION;
    Update.SecurityParts &= ~Same;
}

// Gives the copy the parts of the file's security descriptor that it does
// not have already: owner, group, permissions, audit list. An owner other
// than this process (a service account's file) takes the restore privilege
// that administrators hold.
static BOOL GiveCarriedSecurity(HANDLE Copy)
{
    if (Update.Security == NULL || Update.SecurityParts == 0)
        return TRUE;
    TOKEN_PRIVILEGES Previous;
    BOOL Restoring = EnablePrivilege(SE_RESTORE_NAME, &Previous);
    BOOL Given = SetKernelObjectSecurity(Copy, Update.SecurityParts, Update.Security);
    DWORD Error = GetLastError();
    if (Restoring)
        RestorePrivilege(&Previous);
    if (Given)
        return TRUE;
    BOOL Refused = Error == ERROR_INVALID_OWNER || Error == ERROR_PRIVILEGE_NOT_HELD ||
                   Error == ERROR_ACCESS_DENIED || Error == ERROR_INVALID_PRIMARY_GROUP;
    return FailWith(Refused ? ERROR_PROFILE_OWNER_NOT_KEPT : Error);
}

// Gives the copy the file's creation time and attributes, through the
// handle where Windows can (Vista on), else by its name.
typedef BOOL(WINAPI *SETFILEINFORMATIONBYHANDLE)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);
static SETFILEINFORMATIONBYHANDLE SetInformation(void)
{
    return (SETFILEINFORMATIONBYHANDLE)(void (*)(void))GetProcAddress(GetModuleHandleA("kernel32.dll"),
                                                                       "SetFileInformationByHandle");
}

static BOOL GiveCarriedTimesAndAttributes(HANDLE Copy)
{
    DWORD Attributes = (Update.Attributes & CARRIED_ATTRIBUTES) | FILE_ATTRIBUTE_ARCHIVE;
    if (!SetFileTime(Copy, &Update.Creation, NULL, NULL))
        return FALSE;
    SETFILEINFORMATIONBYHANDLE Set = SetInformation();
    if (Set == NULL)
        return SetFileAttributesA(Update.DraftPath, Attributes);
    FILE_BASIC_INFO Basic = {};
    Basic.FileAttributes = Attributes;
    return Set(Copy, FileBasicInfo, &Basic, sizeof Basic);
}

// Opens the copy for its check and its rename, sharing it for reading only:
// from now on no other program can change, rename or delete it. It must be
// the very file made at BeginProfileUpdate; `Length` receives its size.
static HANDLE OpenCopy(DWORD *Length)
{
    DWORD Parts = Update.Security != NULL ? Update.SecurityParts : 0;
    DWORD Access = GENERIC_READ | GENERIC_WRITE | DELETE |
                   (Parts & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION) ? WRITE_OWNER : 0) |
                   (Parts & DACL_SECURITY_INFORMATION ? WRITE_DAC : 0) |
                   (Parts & SACL_SECURITY_INFORMATION ? ACCESS_SYSTEM_SECURITY : 0);
    HANDLE Copy;
    for (int Try = 0;;) {
        Copy = CreateFileA(Update.DraftPath, Access, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
        if (Copy != INVALID_HANDLE_VALUE || !RetryRefused(&Try))
            break;
    }
    if (Copy == INVALID_HANDLE_VALUE)
        return Copy;
    BY_HANDLE_FILE_INFORMATION Info;
    DWORD Error = ERROR_SUCCESS;
    if (!GetFileInformationByHandle(Copy, &Info))
        Error = GetLastError();
    else if (Info.nFileIndexHigh != Update.DraftIndexHigh || Info.nFileIndexLow != Update.DraftIndexLow)
        Error = ERROR_PROFILE_COPY_REPLACED;
    else if (Info.nFileSizeHigh != 0 || Info.nFileSizeLow >= 0x7FFFFFFF)
        Error = ERROR_FILE_TOO_LARGE;
    if (Error == ERROR_SUCCESS) {
        *Length = Info.nFileSizeLow;
        return Copy;
    }
    CloseHandle(Copy);
    SetLastError(Error);
    return INVALID_HANDLE_VALUE;
}

// Checks what reached the disk: the copy flushed, then its `Length` bytes
// read back (not through the profile functions, which keep what they read
// and wrote under a name).
static BOOL CopyIsWhole(HANDLE Copy, DWORD Length)
{
    if (!FlushFileBuffers(Copy))
        return FALSE;
    char *Bytes = ReadWhole(Copy, Length);
    if (Bytes == NULL)
        return FALSE;
    BOOL Whole = CopyHoldsTheUpdate(Bytes, Length);
    free(Bytes);
    return Whole || FailWith(ERROR_PROFILE_COPY_INCOMPLETE);
}

static long long Milliseconds(FILETIME Time)
{
    return (long long)(((unsigned long long)Time.dwHighDateTime << 32 | Time.dwLowDateTime) / 10000);
}

// Whether the file's last-write time may hide a change made since it was
// read (RacilyRead), as on a FAT volume, whose times go in 2 seconds.
static BOOL RacilyReadFile(void)
{
    long long SinceRead = (long long)(DWORD)(Update.DraftMadeTick - Update.ReadTick);
    return RacilyRead(Milliseconds(Update.Version.LastWrite), Milliseconds(Update.ReadAt),
                      Milliseconds(Update.DraftMadeAt) - SinceRead);
}

// Whether the file still holds exactly the bytes that were read.
static BOOL StillTheBytesRead(HANDLE File)
{
    char *Bytes = ReadWhole(File, Update.Length);
    BOOL Same = Bytes != NULL && memcmp(Bytes, Update.Bytes, Update.Length) == 0;
    DWORD Error = Bytes == NULL && GetLastError() != ERROR_HANDLE_EOF ? GetLastError() : ERROR_PROFILE_CHANGED_SINCE_READ;
    free(Bytes);
    return Same || FailWith(Error);
}

// Whether the file at the profile's path is still the version read, and,
// where its time cannot tell, still holds the bytes read.
static BOOL StillTheVersionRead(void)
{
    HANDLE File = OpenTheVersionRead(GENERIC_READ);
    if (File == INVALID_HANDLE_VALUE)
        return FALSE;
    BOOL Still = !RacilyReadFile() || StillTheBytesRead(File);
    DWORD Error = GetLastError();
    CloseHandle(File);
    SetLastError(Error);
    return Still;
}

// Renames the copy over the file in one step, the file-system rename that
// MoveFileExA makes, but through the handle that was checked, so that the
// copy cannot be swapped after the check. Windows before Vista renames by
// name. The file's name is given as the system's own path (\??\C:\dir\name,
// \??\UNC\server\share\name). Another program holding the file for a moment
// (without sharing its deletion) refuses it: tried again.
static BOOL RenameOverTheFile(HANDLE Copy)
{
    SETFILEINFORMATIONBYHANDLE Set = SetInformation();
    for (int Try = 0;;) {
        BOOL Renamed;
        if (Set == NULL) {
            Renamed = MoveFileExA(Update.DraftPath, Update.Path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
        } else {
            // FILE_RENAME_INFO ends with the name's first character.
            union {
                FILE_RENAME_INFO Info;
                char Room[sizeof(FILE_RENAME_INFO) + (MAX_PATH + 8) * sizeof(WCHAR)];
            } Rename = {};
            BOOL Unc = strncmp(Update.Path, "\\\\", 2) == 0;
            WCHAR *Name = Rename.Info.FileName;
            wcscpy(Name, Unc ? L"\\??\\UNC" : L"\\??\\");
            int Room = (int)((sizeof Rename - offsetof(FILE_RENAME_INFO, FileName)) / sizeof(WCHAR) - wcslen(Name));
            int Length = MultiByteToWideChar(CP_ACP, 0, Update.Path + (Unc ? 1 : 0), -1, Name + wcslen(Name), Room);
            if (Length == 0)
                return FALSE;
            Rename.Info.ReplaceIfExists = TRUE;
            Rename.Info.FileNameLength = (DWORD)(wcslen(Name) * sizeof(WCHAR));
            Renamed = Set(Copy, FileRenameInfo, &Rename, sizeof Rename);
        }
        if (Renamed || !RetryRefused(&Try))
            return Renamed;
    }
}

// Whether the profile functions read every write back from the file.
static BOOL WritesReadBack(void)
{
    for (DWORD i = 0; i < Update.WriteCount; i++) {
        const NOTED_WRITE *Write = &Update.Writes[i];
        char Read[1024];
        DWORD Got = GetPrivateProfileStringA(Write->Section, Write->Key, "", Read, sizeof Read, Update.Path);
        // As they read it: trimmed, unquoted.
        const char *Value = Write->Value;
        size_t Length = strlen(Value);
        TrimProfileBlanks(&Value, &Length);
        UnquoteProfileValue(&Value, &Length);
        if (Got != Length || memcmp(Read, Value, Length) != 0)
            return FailWith(ERROR_PROFILE_COPY_INCOMPLETE);
    }
    return TRUE;
}

BOOL CommitProfileUpdate(LPCSTR Draft)
{
    if (!IsTheDraft(Draft))
        return FailWith(ERROR_INVALID_PARAMETER);
    if (Update.Mapped) {
        // Written through: what can be checked is that every write reads back.
        if (!WritesReadBack())
            return FALSE;
        EndUpdate();
        return TRUE;
    }
    if (Update.WriteCount == 0) {
        // Nothing written: the file stays as it is, its time too.
        DeleteDraft();
        EndUpdate();
        return TRUE;
    }
    if (!NotStopped())
        return FALSE;
    DWORD Length = 0;
    HANDLE Copy = OpenCopy(&Length);
    if (Copy == INVALID_HANDLE_VALUE)
        return FALSE;
    BOOL Committed = CopyIsWhole(Copy, Length) && GiveCarriedSecurity(Copy) && GiveCarriedTimesAndAttributes(Copy) &&
                     StillTheVersionRead() && NotStopped() && RenameOverTheFile(Copy);
    // The rename is done, and cannot be undone: a failed flush is not told.
    if (Committed)
        FlushFileBuffers(Copy);
    DWORD Error = GetLastError();
    CloseHandle(Copy);
    if (!Committed)
        return FailWith(Error);
    Update.DraftPath[0] = '\0';
    EndUpdate();
    return TRUE;
}

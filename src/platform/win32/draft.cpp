// Steps 3, 4 and 6 on Windows: the private copy that the profile functions
// write to (emgXXXX.tmp beside the file), the writes noted for the check,
// and the copy dropped after a failure.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform/profile.h"
#include "platform/profile_rules.h"
#include "platform/win32/update.h"

#undef WritePrivateProfileStringA

static void ForgetWrites(void)
{
    for (DWORD i = 0; i < Update.WriteCount; i++)
        free(Update.Writes[i].Section);
    free(Update.Writes);
    Update.Writes = NULL;
    Update.WriteCount = Update.WriteCapacity = 0;
}

static BOOL SameName(const char *a, const char *b) { return SameProfileName(a, strlen(a), b, strlen(b)); }

// Notes a write; a key written before keeps only its last value.
static BOOL NoteWrite(LPCSTR Section, LPCSTR Key, LPCSTR Value)
{
    size_t SectionSize = strlen(Section) + 1, KeySize = strlen(Key) + 1, ValueSize = strlen(Value) + 1;
    char *Strings = (char *)malloc(SectionSize + KeySize + ValueSize);
    if (Strings == NULL)
        return FALSE;
    NOTED_WRITE Write = {(char *)memcpy(Strings, Section, SectionSize),
                         (char *)memcpy(Strings + SectionSize, Key, KeySize),
                         (char *)memcpy(Strings + SectionSize + KeySize, Value, ValueSize)};
    for (DWORD i = 0; i < Update.WriteCount; i++) {
        if (SameName(Update.Writes[i].Section, Section) && SameName(Update.Writes[i].Key, Key)) {
            free(Update.Writes[i].Section);
            Update.Writes[i] = Write;
            return TRUE;
        }
    }
    if (Update.WriteCount == Update.WriteCapacity) {
        DWORD Capacity = Update.WriteCapacity == 0 ? 64 : Update.WriteCapacity * 2;
        NOTED_WRITE *Grown = (NOTED_WRITE *)realloc(Update.Writes, Capacity * sizeof *Grown);
        if (Grown == NULL) {
            free(Strings);
            return FALSE;
        }
        Update.Writes = Grown;
        Update.WriteCapacity = Capacity;
    }
    Update.Writes[Update.WriteCount++] = Write;
    return TRUE;
}

BOOL NotedWritePrivateProfileStringA(LPCSTR Section, LPCSTR Key, LPCSTR Value, LPCSTR Path)
{
    // The profile functions open the file without sharing it: a scanner
    // that holds the new copy for a moment makes a write fail.
    for (int Try = 0;;) {
        if (!NotStopped())
            return FALSE;
        if (WritePrivateProfileStringA(Section, Key, Value, Path))
            break;
        if (!RetryRefused(&Try))
            return FALSE;
    }
    if (Section != NULL && Key != NULL && Value != NULL && !NoteWrite(Section, Key, Value))
        return FailWith(ERROR_NOT_ENOUGH_MEMORY);
    return TRUE;
}

void DeleteDraft(void)
{
    if (Update.DraftPath[0] == '\0')
        return;
    DWORD Error = GetLastError();
    // The copy may carry the file's attributes by now, and a read-only file
    // cannot be deleted.
    SetFileAttributesA(Update.DraftPath, FILE_ATTRIBUTE_NORMAL);
    for (int Try = 0; !DeleteFileA(Update.DraftPath) && RetryRefused(&Try);) {
    }
    Update.DraftPath[0] = '\0';
    SetLastError(Error);
}

void EndUpdate(void)
{
    DWORD Error = GetLastError();
    if (Update.Turn != NULL) {
        ReleaseMutex(Update.Turn);
        CloseHandle(Update.Turn);
        Update.Turn = NULL;
    }
    free(Update.Security);
    Update.Security = NULL;
    ForgetWrites();
    Update.DraftPath[0] = '\0';
    MarkUpdateUnderWay(FALSE);
    SetLastError(Error);
}

// Runs of this program on the same file take turns from the check before
// the copy to the rename, so that two never both put a copy in place: a
// mutex named after the version read. A run that waited for its turn finds
// the file replaced, and reads it again.
static BOOL TakeTurn(void)
{
    char Name[64];
    snprintf(Name, sizeof Name, "Global\\emsgraft-%08lX-%08lX%08lX", (unsigned long)Update.Version.Volume,
             (unsigned long)Update.Version.IndexHigh, (unsigned long)Update.Version.IndexLow);
    HANDLE Turn = CreateMutexA(NULL, FALSE, Name);
    if (Turn == NULL)
        return FALSE;
    for (DWORD Waited = 0; Waited < LOCK_WAIT_MS && NotStopped(); Waited += 100) {
        DWORD Result = WaitForSingleObject(Turn, 100);
        if (Result == WAIT_OBJECT_0 || Result == WAIT_ABANDONED) {
            Update.Turn = Turn;
            return TRUE;
        }
        if (Result != WAIT_TIMEOUT)
            break;
    }
    DWORD Error = NotStopped() ? ERROR_PROFILE_LOCKED : GetLastError();
    CloseHandle(Turn);
    return FailWith(Error);
}

// Whether no other program holds a lock on the file (LockFileEx), as one
// that means to keep others out of it does: waited for, up to LOCK_WAIT_MS.
// A volume that knows no locks has none.
static BOOL NotLockedByAnother(HANDLE File)
{
    for (DWORD Waited = 0;; Waited += 10) {
        OVERLAPPED From = {};
        if (LockFileEx(File, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &From)) {
            UnlockFileEx(File, 0, MAXDWORD, MAXDWORD, &From);
            return TRUE;
        }
        DWORD Error = GetLastError();
        if (Error == ERROR_NOT_SUPPORTED || Error == ERROR_INVALID_FUNCTION)
            return TRUE;
        if (Error != ERROR_LOCK_VIOLATION)
            return FALSE;
        if (Waited >= LOCK_WAIT_MS)
            return FailWith(ERROR_PROFILE_LOCKED);
        if (!NotStopped())
            return FALSE;
        Sleep(10);
    }
}

// Whether the file is still the version read, and could be replaced: opened
// for writing and deleting, as another program holding it without sharing
// its deletion would refuse the rename. Notes what the new file must carry.
static BOOL StillReplaceable(void)
{
    HANDLE File = OpenTheVersionRead(GENERIC_READ | GENERIC_WRITE | DELETE | CarriedSecurityAccess());
    if (File == INVALID_HANDLE_VALUE)
        return FALSE;
    BOOL Replaceable = NotLockedByAnother(File) && ReadCarriedSecurity(File);
    DWORD Error = GetLastError();
    CloseHandle(File);
    SetLastError(Error);
    return Replaceable;
}

static BOOL WriteAll(HANDLE File, const char *Bytes, DWORD Length)
{
    for (DWORD Done = 0, Put = 0; Done < Length; Done += Put) {
        if (!WriteFile(File, Bytes + Done, Length - Done, &Put, NULL))
            return FALSE;
        if (Put == 0)
            return FailWith(ERROR_WRITE_FAULT);
    }
    return TRUE;
}

// Creates the new file `Name`; fails with ERROR_FILE_EXISTS where something
// else holds the name (a directory, or a file being deleted, too).
static HANDLE CreateNew(LPCSTR Name)
{
    for (int Try = 0;;) {
        HANDLE File =
            CreateFileA(Name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
        if (File != INVALID_HANDLE_VALUE)
            return File;
        DWORD Error = GetLastError();
        if (Error == ERROR_ALREADY_EXISTS || (Error == ERROR_ACCESS_DENIED && GetFileAttributesA(Name) != INVALID_FILE_ATTRIBUTES))
            Error = ERROR_FILE_EXISTS;
        SetLastError(Error);
        if (Error == ERROR_FILE_EXISTS || !RetryRefused(&Try))
            return INVALID_HANDLE_VALUE;
    }
}

// A new file beside the file, named emgXXXX.tmp (four hexadecimal digits),
// holding the bytes read. A name that is taken is passed over, never used.
// Normal attributes: the profile functions may create their file anew,
// which Windows refuses over a hidden or system one.
static BOOL MakeDraft(void)
{
    char Name[MAX_PATH];
    size_t DirectoryLength = (size_t)(strrchr(Update.Path, '\\') + 1 - Update.Path);
    if (DirectoryLength + sizeof "emg0000.tmp" > sizeof Name)
        return FailWith(ERROR_FILENAME_EXCED_RANGE);
    memcpy(Name, Update.Path, DirectoryLength);
    DWORD Start = GetTickCount() ^ (GetCurrentProcessId() * 40503u);
    HANDLE Draft = INVALID_HANDLE_VALUE;
    for (DWORD i = 0; i <= 0xFFFF && Draft == INVALID_HANDLE_VALUE; i++) {
        snprintf(Name + DirectoryLength, sizeof Name - DirectoryLength, "emg%04lX.tmp", (Start + i) & 0xFFFF);
        Draft = CreateNew(Name);
        if (Draft == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS)
            return FALSE;
    }
    if (Draft == INVALID_HANDLE_VALUE)
        return FALSE;
    strcpy(Update.DraftPath, Name);
    BY_HANDLE_FILE_INFORMATION Info;
    BOOL Made = GetFileInformationByHandle(Draft, &Info);
    if (Made) {
        // The file system's time now, as the new file's time tells it.
        Update.DraftMadeAt = Info.ftLastWriteTime;
        Update.DraftMadeTick = GetTickCount();
        Update.DraftIndexHigh = Info.nFileIndexHigh;
        Update.DraftIndexLow = Info.nFileIndexLow;
        Made = WriteAll(Draft, Update.Bytes, Update.Length);
    }
    if (Made)
        NarrowCarriedSecurity(Draft);
    DWORD Error = GetLastError();
    if (!CloseHandle(Draft) && Made)
        return FALSE;
    return Made || FailWith(Error);
}

// A mapped name keeps the direct path: the draft is the file's own name, and
// the writes reach the registry, or the file, one by one.
static BOOL BeginDirectUpdate(void)
{
    // What would refuse the writes (a read-only file, a directory, a file that
    // another program holds) is best found before the first one.
    HANDLE File = OpenShared(Update.Path, GENERIC_WRITE, FILE_ATTRIBUTE_NORMAL);
    if (File == INVALID_HANDLE_VALUE)
        return FALSE;
    CloseHandle(File);
    strcpy(Update.DraftPath, Update.Path);
    return TRUE;
}

BOOL BeginProfileUpdate(LPCSTR Path, LPSTR Draft, DWORD Size)
{
    EndUpdate();
    if (strcmp(Path, Update.Path) != 0)
        return FailWith(ERROR_INVALID_PARAMETER);
    // What the update writes rests on what was read: a file that could not
    // be read is not written, even if it could be read now.
    if (!Update.Mapped && Update.Bytes == NULL)
        return FailWith(Update.ReadError != ERROR_SUCCESS ? Update.ReadError : ERROR_INVALID_PARAMETER);
    if (Update.Attributes & FILE_ATTRIBUTE_READONLY)
        return FailWith(ERROR_ACCESS_DENIED);
    MarkUpdateUnderWay(TRUE);
    BOOL Begun = NotStopped() && (Update.Mapped ? BeginDirectUpdate()
                                                : TakeTurn() && StillReplaceable() && MakeDraft() && NotStopped());
    if (Begun && strlen(Update.DraftPath) >= Size)
        Begun = FailWith(ERROR_FILENAME_EXCED_RANGE);
    if (!Begun) {
        if (!Update.Mapped)
            DeleteDraft();
        EndUpdate();
        return FALSE;
    }
    strcpy(Draft, Update.DraftPath);
    return TRUE;
}

// Whether `Draft` names the copy of the update under way.
BOOL IsTheDraft(LPCSTR Draft) { return Update.DraftPath[0] != '\0' && strcmp(Draft, Update.DraftPath) == 0; }

void AbandonProfileUpdate(LPCSTR Draft)
{
    if (!IsTheDraft(Draft))
        return;
    if (!Update.Mapped)
        DeleteDraft();
    EndUpdate();
}

BOOL ProfileChangedSinceRead(void) { return GetLastError() == ERROR_PROFILE_CHANGED_SINCE_READ; }

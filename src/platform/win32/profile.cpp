// Guarded updates over the Win32 profile functions. Those write through: every
// WritePrivateProfileStringA rewrites the file. So a copy of the original is
// kept beside it while an update runs, and put back when a write fails.
#include "platform/profile.h"

#include <stdlib.h>
#include <string.h>

#include "platform/profile_rules.h"

#undef WritePrivateProfileStringA

// A write that the Win32 function accepted: section, key and value, one
// allocation of three NUL-ended strings.
typedef struct {
    char *Section;
    char *Key;
    char *Value;
} NOTED_WRITE;

// The copy of the file being updated; empty when no update is under way.
static char BackupPath[MAX_PATH];
// Its attributes (hidden, system, ...): a copy onto an existing file does not
// bring them back everywhere (not under Wine).
static DWORD OriginalAttributes;

// The writes since BeginProfileUpdate.
static NOTED_WRITE *NotedWrites;
static DWORD NotedWriteCount;
static DWORD NotedWriteCapacity;

static const DWORD FIRST_LIST_SIZE = 1 << 16;
static const DWORD LARGEST_LIST_SIZE = 1 << 28;

static void ForgetNotedWrites(void)
{
    for (DWORD i = 0; i < NotedWriteCount; i++)
        free(NotedWrites[i].Section);
    free(NotedWrites);
    NotedWrites = NULL;
    NotedWriteCount = NotedWriteCapacity = 0;
}

static BOOL NoteWrite(LPCSTR Section, LPCSTR Key, LPCSTR Value)
{
    if (NotedWriteCount == NotedWriteCapacity) {
        DWORD Capacity = NotedWriteCapacity == 0 ? 64 : NotedWriteCapacity * 2;
        NOTED_WRITE *Grown = (NOTED_WRITE *)realloc(NotedWrites, Capacity * sizeof *Grown);
        if (Grown == NULL)
            return FALSE;
        NotedWrites = Grown;
        NotedWriteCapacity = Capacity;
    }
    size_t SectionSize = strlen(Section) + 1, KeySize = strlen(Key) + 1, ValueSize = strlen(Value) + 1;
    char *Strings = (char *)malloc(SectionSize + KeySize + ValueSize);
    if (Strings == NULL)
        return FALSE;
    NOTED_WRITE *Write = &NotedWrites[NotedWriteCount++];
    Write->Section = (char *)memcpy(Strings, Section, SectionSize);
    Write->Key = (char *)memcpy(Strings + SectionSize, Key, KeySize);
    Write->Value = (char *)memcpy(Strings + SectionSize + KeySize, Value, ValueSize);
    return TRUE;
}

static void DeleteCopy(LPSTR Copy)
{
    // A copy carries the original's attributes, and a read-only file cannot
    // be deleted.
    SetFileAttributesA(Copy, FILE_ATTRIBUTE_NORMAL);
    if (DeleteFileA(Copy))
        Copy[0] = '\0';
}

// Copies `Path` to a new file in the same directory, named in `Copy`: same
// volume, same permissions.
static BOOL CopyBeside(LPCSTR Path, LPSTR Copy)
{
    char Directory[MAX_PATH];
    char *Name = NULL;
    DWORD Length = GetFullPathNameA(Path, MAX_PATH, Directory, &Name);
    if (Length == 0)
        return FALSE;
    if (Length >= MAX_PATH || Name == NULL) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    *Name = '\0';
    if (GetTempFileNameA(Directory, "emg", 0, Copy) == 0) {
        Copy[0] = '\0';
        return FALSE;
    }
    if (!CopyFileA(Path, Copy, FALSE)) {
        DWORD Error = GetLastError();
        DeleteCopy(Copy);
        Copy[0] = '\0';
        SetLastError(Error);
        return FALSE;
    }
    return TRUE;
}

// The section names of `Path` (Section NULL) or the lines of one section, in
// a buffer of malloc's that the caller frees; NULL when it cannot be had.
static char *ReadList(LPCSTR Section, LPCSTR Path, DWORD *Length)
{
    for (DWORD Size = FIRST_LIST_SIZE; Size <= LARGEST_LIST_SIZE; Size *= 2) {
        char *Buffer = (char *)malloc(Size);
        if (Buffer == NULL)
            return NULL;
        DWORD Got = Section != NULL ? GetPrivateProfileSectionA(Section, Buffer, Size, Path)
                                    : GetPrivateProfileSectionNamesA(Buffer, Size, Path);
        if (Got < Size - 2) {  // Size - 2 means the list was cut
            *Length = Got;
            return Buffer;
        }
        free(Buffer);
    }
    return NULL;
}

// Number of items in a list of NUL-ended strings; -1 when it cannot be read.
static long ListCount(LPCSTR Section, LPCSTR Path)
{
    DWORD Length = 0;
    char *List = ReadList(Section, Path, &Length);
    if (List == NULL)
        return -1;
    long Count = 0;
    for (DWORD i = 0; i < Length; i += (DWORD)strlen(List + i) + 1)
        Count++;
    free(List);
    return Count;
}

// Whether the profile functions read `Key` of `Section` in `Path` as `Value`
// reads: blanks around it and a pair of enclosing quotes dropped.
static BOOL ReadsAsWritten(LPCSTR Section, LPCSTR Key, LPCSTR Value, LPCSTR Path)
{
    while (IsProfileBlank(*Value))
        Value++;
    size_t Length = strlen(Value);
    while (Length > 0 && IsProfileBlank(Value[Length - 1]))
        Length--;
    if (IsQuotedValue(Value, Length)) {
        Value++;
        Length -= 2;
    }
    // Room to see a longer value.
    char *Read = (char *)malloc(Length + 2);
    if (Read == NULL)
        return FALSE;
    DWORD Got = GetPrivateProfileStringA(Section, Key, "", Read, (DWORD)Length + 2, Path);
    BOOL Same = Got == Length && memcmp(Read, Value, Length) == 0;
    free(Read);
    return Same;
}

static BOOL NotedWritesRead(LPCSTR Copy)
{
    for (DWORD i = 0; i < NotedWriteCount; i++) {
        const NOTED_WRITE *Write = &NotedWrites[i];
        if (!ReadsAsWritten(Write->Section, Write->Key, Write->Value, Copy))
            return FALSE;
    }
    return TRUE;
}

// An update only adds and replaces: every section of the original must still
// be there, with at least as many lines.
static BOOL OriginalKept(LPCSTR Copy)
{
    DWORD Length = 0;
    char *Names = ReadList(NULL, BackupPath, &Length);
    if (Names == NULL)
        return FALSE;
    long Before = ListCount(NULL, BackupPath), After = ListCount(NULL, Copy);
    BOOL Kept = Before >= 0 && After >= Before;
    for (DWORD i = 0; Kept && i < Length; i += (DWORD)strlen(Names + i) + 1) {
        Before = ListCount(Names + i, BackupPath);
        After = ListCount(Names + i, Copy);
        Kept = Before >= 0 && After >= Before;
    }
    free(Names);
    return Kept;
}

// Whether the file on disk holds what the profile functions were told to
// write. They keep content in memory and do not report every failed disk write
// (Wine ignores a full disk and goes on from the cut file), so the file is read
// afresh through a copy, under a name that they have not seen.
static BOOL WritesReachedDisk(LPCSTR Path)
{
    char Copy[MAX_PATH];
    if (!CopyBeside(Path, Copy))
        return FALSE;
    BOOL Reached = NotedWritesRead(Copy) && OriginalKept(Copy);
    DeleteCopy(Copy);
    if (!Reached)
        SetLastError(ERROR_WRITE_FAULT);
    return Reached;
}

BOOL NotedWritePrivateProfileStringA(LPCSTR Section, LPCSTR Key, LPCSTR Value, LPCSTR Path)
{
    if (!WritePrivateProfileStringA(Section, Key, Value, Path))
        return FALSE;
    if (Section != NULL && Key != NULL && Value != NULL && !NoteWrite(Section, Key, Value)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    return TRUE;
}

BOOL LocateProfile(LPCSTR Path, LPSTR Resolved, DWORD Size)
{
    // The profile functions look for a name without any directory in the
    // Windows directory, but the existence test found it in the current one
    // (or, for "C:name.inf", in drive C's current directory).
    if (strchr(Path, '\\') == NULL && strchr(Path, '/') == NULL) {
        DWORD Length = GetFullPathNameA(Path, Size, Resolved, NULL);
        if (Length == 0)
            return FALSE;
        if (Length >= Size) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return FALSE;
        }
        return TRUE;
    }
    if (strlen(Path) >= Size) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    strcpy(Resolved, Path);
    return TRUE;
}

BOOL ReadProfile(LPCSTR Path)
{
    (void)Path;  // the profile functions read the file afresh
    return TRUE;
}

BOOL BeginProfileUpdate(LPCSTR Path, LPSTR Draft, DWORD Size)
{
    if (strlen(Path) >= Size) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    strcpy(Draft, Path);
    // What would refuse the writes (a read-only file, a directory, a file that
    // another program holds) is best found before the first one.
    HANDLE File = CreateFileA(Path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (File == INVALID_HANDLE_VALUE)
        return FALSE;
    CloseHandle(File);
    OriginalAttributes = GetFileAttributesA(Path);
    ForgetNotedWrites();
    return CopyBeside(Path, BackupPath);
}

BOOL CommitProfileUpdate(LPCSTR Path)
{
    // The writes went straight to the file, so Windows needs no flush call
    // (and Wine answers one with FALSE); but what landed there is checked.
    if (!WritesReachedDisk(Path))
        return FALSE;
    DeleteCopy(BackupPath);
    if (BackupPath[0] != '\0')
        return FALSE;
    ForgetNotedWrites();
    return TRUE;
}

void AbandonProfileUpdate(LPCSTR Path)
{
    if (BackupPath[0] == '\0')
        return;  // nothing was written
    DWORD Error = GetLastError();
    // The copy brings back the original's content and times; a hidden or
    // read-only target would refuse it.
    SetFileAttributesA(Path, FILE_ATTRIBUTE_NORMAL);
    if (CopyFileA(BackupPath, Path, FALSE)) {
        if (OriginalAttributes != INVALID_FILE_ATTRIBUTES)
            SetFileAttributesA(Path, OriginalAttributes);
        DeleteCopy(BackupPath);
    }
    // Otherwise the copy stays: it is the only intact original left.
    ForgetNotedWrites();
    SetLastError(Error);
}

BOOL ProfileChangedSinceRead(void) { return FALSE; }

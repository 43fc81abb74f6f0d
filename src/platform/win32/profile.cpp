// Updates over the Win32 profile functions, made on a draft. Those functions
// write through: every WritePrivateProfileStringA rewrites the whole file. So
// the writes go to a copy of the file in its own directory (emg*.tmp), which
// is flushed, read back, checked and then put in the file's place in one step
// by ReplaceFileA. Killed at any moment, the file holds its old content or the
// complete new one, and at most the copy is left beside it.
#include "platform/profile.h"

#include <stdio.h>
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
    size_t SectionLength;
    size_t KeyLength;
    // The value as the profile functions read it back: trimmed, unquoted.
    const char *ValueRead;
    size_t ValueReadLength;
    // While the draft is read: whether the first section of that name is
    // behind, and whether the key was found in it and reads as written.
    BOOL SectionPassed;
    BOOL Found;
    BOOL ReadsAsWritten;
} NOTED_WRITE;

// Which version of a file was read: it is the same file, unchanged, while
// all of these are.
typedef struct {
    DWORD Volume;
    DWORD IndexHigh;
    DWORD IndexLow;
    DWORD SizeHigh;
    DWORD SizeLow;
    FILETIME LastWrite;
} FILE_VERSION;

// The attributes that the file keeps through an update; a changed file is
// marked for backup, as any write marks it.
static const DWORD CARRIED_ATTRIBUTES = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                       FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
                                       FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// The file that LocateProfile found, and whether Windows maps its name to the
// registry.
static char LocatedPath[MAX_PATH];
static BOOL LocatedMapped;

// The version that ReadProfile noted.
static FILE_VERSION VersionRead;
static BOOL VersionKnown;

// The update under way: the file, its bytes and attributes at
// BeginProfileUpdate, and the draft's current name (empty when there is
// none). DraftIsTheFile: the file's own name lost its file to a replace
// that stopped half way, and the draft holds the only complete content.
static char ProfilePath[MAX_PATH];
static char *Original;
static DWORD OriginalLength;
static DWORD OriginalAttributes;
static char DraftPath[MAX_PATH];
static BOOL DraftIsTheFile;
static BOOL UpdatingMapped;

// The writes since BeginProfileUpdate.
static NOTED_WRITE *NotedWrites;
static DWORD NotedWriteCount;
static DWORD NotedWriteCapacity;

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
    Write->SectionLength = SectionSize - 1;
    Write->KeyLength = KeySize - 1;
    Write->ValueRead = Write->Value;
    Write->ValueReadLength = ValueSize - 1;
    TrimProfileBlanks(&Write->ValueRead, &Write->ValueReadLength);
    if (IsQuotedValue(Write->ValueRead, Write->ValueReadLength)) {
        Write->ValueRead++;
        Write->ValueReadLength -= 2;
    }
    return TRUE;
}

// Ends the update under way, keeping the last error.
static void ForgetUpdate(void)
{
    DWORD Error = GetLastError();
    ForgetNotedWrites();
    free(Original);
    Original = NULL;
    OriginalLength = 0;
    DraftPath[0] = '\0';
    DraftIsTheFile = FALSE;
    UpdatingMapped = FALSE;
    SetLastError(Error);
}

static BOOL CopyPath(LPCSTR Path, LPSTR Buffer, DWORD Size)
{
    if (strlen(Path) >= Size) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    strcpy(Buffer, Path);
    return TRUE;
}

static void VersionOf(const BY_HANDLE_FILE_INFORMATION *Info, FILE_VERSION *Version)
{
    Version->Volume = Info->dwVolumeSerialNumber;
    Version->IndexHigh = Info->nFileIndexHigh;
    Version->IndexLow = Info->nFileIndexLow;
    Version->SizeHigh = Info->nFileSizeHigh;
    Version->SizeLow = Info->nFileSizeLow;
    Version->LastWrite = Info->ftLastWriteTime;
}

static BOOL IsVersionRead(const BY_HANDLE_FILE_INFORMATION *Info)
{
    FILE_VERSION Version;
    VersionOf(Info, &Version);
    return VersionKnown && memcmp(&Version, &VersionRead, sizeof Version) == 0;
}

static BOOL FailChanged(void)
{
    SetLastError(ERROR_PROFILE_CHANGED_SINCE_READ);
    return FALSE;
}

// Opens a file that exists, shared with every other program.
static HANDLE OpenShared(LPCSTR Path, DWORD Access)
{
    return CreateFileA(Path, Access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, NULL);
}

// Reads `Length` bytes from the start of `File` into a new buffer of
// malloc's (NUL-ended); NULL when it cannot, or when the file ends sooner.
static char *ReadAll(HANDLE File, DWORD Length)
{
    char *Bytes = (char *)malloc((size_t)Length + 1);
    if (Bytes == NULL) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    for (DWORD Done = 0, Got = 0; Done < Length; Done += Got) {
        BOOL Read = ReadFile(File, Bytes + Done, Length - Done, &Got, NULL);
        if (!Read || Got == 0) {
            if (Read)
                SetLastError(ERROR_HANDLE_EOF);
            free(Bytes);
            return NULL;
        }
    }
    Bytes[Length] = '\0';
    return Bytes;
}

// The whole content of `Path` in a buffer of malloc's; its attributes and
// version in `Info`.
static char *ReadFileBytes(LPCSTR Path, DWORD Access, BY_HANDLE_FILE_INFORMATION *Info)
{
    HANDLE File = OpenShared(Path, Access);
    if (File == INVALID_HANDLE_VALUE)
        return NULL;
    char *Bytes = NULL;
    if (GetFileInformationByHandle(File, Info)) {
        if (Info->nFileSizeHigh != 0 || Info->nFileSizeLow >= 0x7FFFFFFF)
            SetLastError(ERROR_FILE_TOO_LARGE);
        else
            Bytes = ReadAll(File, Info->nFileSizeLow);
    }
    DWORD Error = GetLastError();
    CloseHandle(File);
    SetLastError(Error);
    return Bytes;
}

// Writes the original's bytes into the draft, which exists and is empty.
static BOOL WriteDraft(void)
{
    HANDLE File = CreateFileA(DraftPath, GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (File == INVALID_HANDLE_VALUE)
        return FALSE;
    DWORD Done = 0, Put = 0;
    while (Done < OriginalLength && WriteFile(File, Original + Done, OriginalLength - Done, &Put, NULL) && Put > 0)
        Done += Put;
    DWORD Error = Done < OriginalLength ? GetLastError() : ERROR_SUCCESS;
    if (!CloseHandle(File) && Error == ERROR_SUCCESS)
        Error = GetLastError();
    if (Error == ERROR_SUCCESS && Done < OriginalLength)
        Error = ERROR_WRITE_FAULT;
    SetLastError(Error);
    return Error == ERROR_SUCCESS;
}

static void DeleteDraft(void)
{
    if (DraftPath[0] == '\0' || DraftIsTheFile)
        return;
    DWORD Error = GetLastError();
    // The draft may carry the original's attributes by now, and a read-only
    // file cannot be deleted.
    SetFileAttributesA(DraftPath, FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(DraftPath);
    DraftPath[0] = '\0';
    SetLastError(Error);
}

// Whether the profile functions read every write back from `Path` as
// written.
static BOOL NotedWritesRead(LPCSTR Path)
{
    for (DWORD i = 0; i < NotedWriteCount; i++) {
        const NOTED_WRITE *Write = &NotedWrites[i];
        size_t Length = Write->ValueReadLength;
        // Room to see a longer value.
        char *Read = (char *)malloc(Length + 2);
        if (Read == NULL)
            return FALSE;
        DWORD Got = GetPrivateProfileStringA(Write->Section, Write->Key, "", Read, (DWORD)Length + 2, Path);
        BOOL Same = Got == Length && memcmp(Read, Write->ValueRead, Length) == 0;
        free(Read);
        if (!Same)
            return FALSE;
    }
    return TRUE;
}

// One section of a profile's text, as the comparison below sees it: its
// name (empty for the lines before the first header) and how much it lists.
typedef struct {
    const char *Name;
    size_t NameLength;
    DWORD Lines;           // entries and name-only lines
    unsigned long long Bytes;  // their trimmed names and values, but of keys written
} SECTION_SUMMARY;

// Walks a profile's text section by section.
typedef struct {
    const char *Text;
    size_t Length;
    size_t Position;  // where the next section's lines start
    const char *NextName;
    size_t NextNameLength;
    BOOL More;
} SECTION_WALK;

static void StartSectionWalk(SECTION_WALK *Walk, const char *Text, size_t Length)
{
    Walk->Text = Text;
    Walk->Length = Length;
    Walk->Position = ProfileTextStart(Text, Length);
    Walk->NextName = Text;
    Walk->NextNameLength = 0;
    Walk->More = TRUE;
}

// Whether the update wrote this key of this section (its value may change).
// While the draft is read, also reads the writes back as the profile
// functions would: from the first section of that name, the first line of
// that name.
static BOOL IsWrittenKey(const SECTION_SUMMARY *Section, const PROFILE_LINE *Line, BOOL ReadBack)
{
    BOOL Written = FALSE;
    for (DWORD i = 0; i < NotedWriteCount; i++) {
        NOTED_WRITE *Write = &NotedWrites[i];
        if (!SameProfileName(Write->Key, Write->KeyLength, Line->Name, Line->NameLength) ||
            !SameProfileName(Write->Section, Write->SectionLength, Section->Name, Section->NameLength))
            continue;
        Written = TRUE;
        if (ReadBack && !Write->SectionPassed && !Write->Found) {
            const char *Value = Line->Value;
            size_t Length = Line->ValueLength;
            if (IsQuotedValue(Value, Length)) {
                Value++;
                Length -= 2;
            }
            Write->Found = TRUE;
            Write->ReadsAsWritten =
                Length == Write->ValueReadLength && memcmp(Value, Write->ValueRead, Length) == 0;
        }
    }
    return Written;
}

// After a section of the draft: the writes to sections of its name were
// found in it or not at all.
static void PassSection(const SECTION_SUMMARY *Section)
{
    for (DWORD i = 0; i < NotedWriteCount; i++) {
        NOTED_WRITE *Write = &NotedWrites[i];
        if (SameProfileName(Write->Section, Write->SectionLength, Section->Name, Section->NameLength))
            Write->SectionPassed = TRUE;
    }
}

// The next section; FALSE after the last. A header with an empty name does
// not start a section: Wine's writer drops it, joining its lines to the
// section before.
static BOOL NextSection(SECTION_WALK *Walk, SECTION_SUMMARY *Section, BOOL ReadBack)
{
    if (!Walk->More)
        return FALSE;
    Section->Name = Walk->NextName;
    Section->NameLength = Walk->NextNameLength;
    Section->Lines = 0;
    Section->Bytes = 0;
    Walk->More = FALSE;
    while (Walk->Position < Walk->Length) {
        size_t TextEnd;
        size_t Next = NextProfileLine(Walk->Text, Walk->Length, Walk->Position, &TextEnd);
        PROFILE_LINE Line = ClassifyProfileLine(Walk->Text + Walk->Position, TextEnd - Walk->Position);
        Walk->Position = Next;
        if (Line.Kind == PROFILE_LINE_HEADER && Line.NameLength > 0) {
            Walk->NextName = Line.Name;
            Walk->NextNameLength = Line.NameLength;
            Walk->More = TRUE;
            break;
        }
        if (Line.Kind != PROFILE_LINE_ENTRY && Line.Kind != PROFILE_LINE_NAME_ONLY)
            continue;
        Section->Lines++;
        if (!IsWrittenKey(Section, &Line, ReadBack))
            Section->Bytes += Line.NameLength + (Line.Kind == PROFILE_LINE_ENTRY ? 1 + Line.ValueLength : 0);
    }
    if (ReadBack)
        PassSection(Section);
    return TRUE;
}

// Whether the draft's text holds the update: every write reads back from
// it, and it keeps what the original held. An update only adds and
// replaces: the draft holds every section of the original, in the same
// order, each with at least as many lines and as many bytes (beside the
// keys written, whose values may change), and new sections only after them.
// So a file cut short (a full disk that Wine ignores) fails. One pass over
// each text. The sections of a UTF-16 file, which the profile functions read
// as such, are not compared: its writes are read back by those functions.
static BOOL DraftHoldsTheWrites(const char *Draft, size_t DraftLength, LPCSTR Path)
{
    if (StartsWithUtf16ByteOrderMark(Original, OriginalLength) ||
        StartsWithUtf16ByteOrderMark(Draft, DraftLength))
        return NotedWritesRead(Path);
    for (DWORD i = 0; i < NotedWriteCount; i++)
        NotedWrites[i].SectionPassed = NotedWrites[i].Found = NotedWrites[i].ReadsAsWritten = FALSE;
    SECTION_WALK Before, After;
    SECTION_SUMMARY Old, New;
    StartSectionWalk(&Before, Original, OriginalLength);
    StartSectionWalk(&After, Draft, DraftLength);
    while (NextSection(&Before, &Old, FALSE)) {
        if (!NextSection(&After, &New, TRUE) || !SameProfileName(Old.Name, Old.NameLength, New.Name, New.NameLength) ||
            New.Lines < Old.Lines || New.Bytes < Old.Bytes)
            return FALSE;
    }
    while (NextSection(&After, &New, TRUE)) {
    }
    for (DWORD i = 0; i < NotedWriteCount; i++) {
        if (!NotedWrites[i].Found || !NotedWrites[i].ReadsAsWritten)
            return FALSE;
    }
    return TRUE;
}

// Whether the file at the profile's path is still the version read.
static BOOL StillTheVersionRead(void)
{
    HANDLE File = OpenShared(ProfilePath, FILE_READ_ATTRIBUTES);
    if (File == INVALID_HANDLE_VALUE) {
        DWORD Error = GetLastError();
        if (Error == ERROR_FILE_NOT_FOUND || Error == ERROR_PATH_NOT_FOUND)
            return FailChanged();
        return FALSE;
    }
    BY_HANDLE_FILE_INFORMATION Info;
    BOOL Known = GetFileInformationByHandle(File, &Info);
    DWORD Error = GetLastError();
    CloseHandle(File);
    if (!Known) {
        SetLastError(Error);
        return FALSE;
    }
    return IsVersionRead(&Info) || FailChanged();
}

// Checks what reached the disk: the draft flushed, then its bytes read
// (not through the profile functions, which keep what they read and wrote
// under a name, and read a file written in the last two seconds afresh on
// every call under Wine).
static BOOL DraftHoldsTheUpdate(void)
{
    HANDLE File = OpenShared(DraftPath, GENERIC_WRITE);
    if (File == INVALID_HANDLE_VALUE)
        return FALSE;
    BOOL Flushed = FlushFileBuffers(File);
    DWORD Error = GetLastError();
    CloseHandle(File);
    if (!Flushed) {
        SetLastError(Error);
        return FALSE;
    }
    BY_HANDLE_FILE_INFORMATION Info;
    char *Draft = ReadFileBytes(DraftPath, GENERIC_READ, &Info);
    if (Draft == NULL)
        return FALSE;
    BOOL Holds = DraftHoldsTheWrites(Draft, Info.nFileSizeLow, DraftPath);
    free(Draft);
    if (!Holds)
        SetLastError(ERROR_WRITE_FAULT);
    return Holds;
}

// Puts the draft in the file's place. ReplaceFileA keeps what belongs to the
// file rather than to its content (creation time, DACL, short name, object
// identifier, encryption, compression, other streams). A volume that cannot
// replace answers that it does not support or know the request; the draft
// is then moved over the file.
static BOOL PutDraftInPlace(void)
{
    if (ReplaceFileA(ProfilePath, DraftPath, NULL, 0, NULL, NULL))
        return TRUE;
    DWORD Error = GetLastError();
    if (Error == ERROR_UNABLE_TO_MOVE_REPLACEMENT || Error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
        // Stopped half way: the file's name has lost its file, and the draft,
        // under its own name, holds the complete new content. It must get
        // there; if it cannot, it stays.
        if (MoveFileExA(DraftPath, ProfilePath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return TRUE;
        DraftIsTheFile = TRUE;
        SetLastError(Error);
        return FALSE;
    }
    if (Error != ERROR_NOT_SUPPORTED && Error != ERROR_INVALID_FUNCTION)
        return FALSE;
    return MoveFileExA(DraftPath, ProfilePath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
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

// Whether Windows keeps the entries of files of this name in the registry:
// HKLM\...\IniFileMapping\<file name>, in the registry view of this program's
// own bitness, as its profile functions see it. Only a plainly absent key
// means no mapping.
static BOOL MappedToRegistry(LPCSTR Path)
{
    const char *Name = Path;
    for (const char *c = Path; *c != '\0'; c++) {
        if (*c == '\\' || *c == '/' || *c == ':')
            Name = c + 1;
    }
    char Key[MAX_PATH + 64];
    snprintf(Key, sizeof Key, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\IniFileMapping\\%s", Name);
    HKEY Mapping;
    LONG Status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, Key, 0, KEY_QUERY_VALUE, &Mapping);
    if (Status == ERROR_SUCCESS)
        RegCloseKey(Mapping);
    return Status != ERROR_FILE_NOT_FOUND;
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
    if (Length == 0) {
        SetLastError(Error);
        return FALSE;
    }
    // "\\?\C:\dir\name", or "\\?\UNC\server\share\name" for "\\server\share\name".
    const char *Name = Final;
    if (Length < sizeof Final && strncmp(Final, "\\\\?\\UNC\\", 8) == 0) {
        Name = Final + 6;
        Final[6] = '\\';
    } else if (Length < sizeof Final && strncmp(Final, "\\\\?\\", 4) == 0) {
        Name = Final + 4;
    }
    if (Length >= sizeof Final || strlen(Name) >= MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    strcpy(Path, Name);
    return TRUE;
}

BOOL LocateProfile(LPCSTR Path, LPSTR Resolved, DWORD Size)
{
    // The full path that the profile functions reach. They look for a name
    // without any directory in the Windows directory, but the existence test
    // found it in the current one (or, for "C:name.inf", in drive C's
    // current directory): that is the file meant.
    char *Name = NULL;
    DWORD Length = GetFullPathNameA(Path, MAX_PATH, LocatedPath, &Name);
    if (Length == 0)
        return FALSE;
    if (Length >= MAX_PATH || Name == NULL) {
        LocatedPath[0] = '\0';
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    // A mapped name is written as the system maps it, by the name given.
    LocatedMapped = MappedToRegistry(LocatedPath);
    if (!LocatedMapped && !FollowLinks(LocatedPath)) {
        LocatedPath[0] = '\0';
        return FALSE;
    }
    VersionKnown = FALSE;
    return CopyPath(LocatedPath, Resolved, Size);
}

BOOL ReadProfile(LPCSTR Path)
{
    VersionKnown = FALSE;
    // A mapped name is read where Windows keeps it, by the profile functions.
    if (LocatedMapped && strcmp(Path, LocatedPath) == 0)
        return TRUE;
    HANDLE File = OpenShared(Path, GENERIC_READ);
    if (File == INVALID_HANDLE_VALUE)
        return FALSE;
    BY_HANDLE_FILE_INFORMATION Info;
    VersionKnown = GetFileInformationByHandle(File, &Info);
    DWORD Error = GetLastError();
    CloseHandle(File);
    if (!VersionKnown) {
        SetLastError(Error);
        return FALSE;
    }
    VersionOf(&Info, &VersionRead);
    return TRUE;
}

// A mapped name keeps the direct path: the draft is the file's own name, and
// the writes reach the registry, or the file, one by one.
static BOOL BeginDirectUpdate(LPCSTR Path, LPSTR Draft, DWORD Size)
{
    // What would refuse the writes (a read-only file, a directory, a file that
    // another program holds) is best found before the first one.
    HANDLE File = OpenShared(Path, GENERIC_WRITE);
    if (File == INVALID_HANDLE_VALUE)
        return FALSE;
    CloseHandle(File);
    UpdatingMapped = TRUE;
    return CopyPath(Path, Draft, Size);
}

BOOL BeginProfileUpdate(LPCSTR Path, LPSTR Draft, DWORD Size)
{
    ForgetUpdate();
    char ProfileDirectory[MAX_PATH];
    if (!CopyPath(Path, ProfilePath, sizeof ProfilePath) || !CopyPath(Path, ProfileDirectory, sizeof ProfileDirectory))
        return FALSE;
    if (LocatedMapped && strcmp(Path, LocatedPath) == 0)
        return BeginDirectUpdate(Path, Draft, Size);
    char *Name = strrchr(ProfileDirectory, '\\');
    if (Name == NULL) {
        SetLastError(ERROR_INVALID_NAME);
        return FALSE;
    }
    Name[1] = '\0';

    // Opened for writing too: a file that would refuse the writes (read-only,
    // a directory, held by another program) is refused before any copy.
    BY_HANDLE_FILE_INFORMATION Info;
    Original = ReadFileBytes(Path, GENERIC_READ | GENERIC_WRITE, &Info);
    if (Original == NULL)
        return GetLastError() == ERROR_HANDLE_EOF ? FailChanged() : FALSE;  // cut short meanwhile
    OriginalLength = Info.nFileSizeLow;
    OriginalAttributes = Info.dwFileAttributes;
    if (!IsVersionRead(&Info)) {
        ForgetUpdate();
        return FailChanged();
    }
    // A new file of normal attributes: the profile functions may create
    // their file anew, which Windows refuses over a hidden or system one.
    if (GetTempFileNameA(ProfileDirectory, "emg", 0, DraftPath) == 0) {
        ForgetUpdate();
        return FALSE;
    }
    if (!WriteDraft() || !CopyPath(DraftPath, Draft, Size)) {
        DeleteDraft();
        ForgetUpdate();
        return FALSE;
    }
    return TRUE;
}

BOOL CommitProfileUpdate(LPCSTR Draft)
{
    (void)Draft;  // one update at a time: this layer knows its draft
    if (UpdatingMapped) {
        // Written through: what can be checked is that every write reads back.
        if (!NotedWritesRead(ProfilePath)) {
            SetLastError(ERROR_WRITE_FAULT);
            return FALSE;
        }
        ForgetUpdate();
        return TRUE;
    }
    if (DraftPath[0] == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (NotedWriteCount == 0) {
        // Nothing written: the file stays as it is, its time too.
        DeleteDraft();
        ForgetUpdate();
        return TRUE;
    }
    if (!DraftHoldsTheUpdate() || !StillTheVersionRead())
        return FALSE;
    DWORD Attributes = (OriginalAttributes & CARRIED_ATTRIBUTES) | FILE_ATTRIBUTE_ARCHIVE;
    if (!SetFileAttributesA(DraftPath, Attributes) || !PutDraftInPlace())
        return FALSE;
    // Not every volume or system brings attributes through a replace.
    DWORD Now = GetFileAttributesA(ProfilePath);
    if (Now == INVALID_FILE_ATTRIBUTES || (Now & CARRIED_ATTRIBUTES) != Attributes)
        SetFileAttributesA(ProfilePath, Attributes);
    DraftPath[0] = '\0';
    ForgetUpdate();
    return TRUE;
}

void AbandonProfileUpdate(LPCSTR Draft)
{
    (void)Draft;  // see CommitProfileUpdate
    DeleteDraft();
    ForgetUpdate();
}

BOOL ProfileChangedSinceRead(void) { return GetLastError() == ERROR_PROFILE_CHANGED_SINCE_READ; }

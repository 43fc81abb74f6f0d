// Guarded updates over the Win32 profile functions. Those write through: every
// WritePrivateProfileStringA rewrites the file. So a copy of the original is
// kept beside it while an update runs, and put back when a write fails.
#include "platform/profile.h"

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#undef WritePrivateProfileStringA

namespace {

// The copy of the file being updated; empty when no update is under way.
char BackupPath[MAX_PATH];
// Its attributes (hidden, system, ...): a copy onto an existing file does not
// bring them back everywhere (not under Wine).
DWORD OriginalAttributes;

struct NotedWrite {
    std::string section, key, value;
};
// The writes since BeginProfileUpdate that the Win32 function accepted.
std::vector<NotedWrite> NotedWrites;

const DWORD FIRST_LIST_SIZE = 1 << 16;
const DWORD LARGEST_LIST_SIZE = 1 << 28;

void DeleteCopy(LPSTR copy)
{
    // A copy carries the original's attributes, and a read-only file cannot
    // be deleted.
    SetFileAttributesA(copy, FILE_ATTRIBUTE_NORMAL);
    if (DeleteFileA(copy))
        copy[0] = '\0';
}

// Copies `path` to a new file in the same directory, named in `copy`: same
// volume, same permissions.
BOOL CopyBeside(LPCSTR path, LPSTR copy)
{
    char directory[MAX_PATH];
    char *name = NULL;
    DWORD length = GetFullPathNameA(path, MAX_PATH, directory, &name);
    if (length == 0)
        return FALSE;
    if (length >= MAX_PATH || name == NULL) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    *name = '\0';
    if (GetTempFileNameA(directory, "emg", 0, copy) == 0) {
        copy[0] = '\0';
        return FALSE;
    }
    if (!CopyFileA(path, copy, FALSE)) {
        DWORD error = GetLastError();
        DeleteCopy(copy);
        copy[0] = '\0';
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

// The section names of `path` (section NULL) or the lines of one section, in a
// buffer of malloc's that the caller frees; NULL when it cannot be had.
char *ReadList(LPCSTR section, LPCSTR path, DWORD *length)
{
    for (DWORD size = FIRST_LIST_SIZE; size <= LARGEST_LIST_SIZE; size *= 2) {
        char *buffer = (char *)malloc(size);
        if (buffer == NULL)
            return NULL;
        DWORD got = section != NULL ? GetPrivateProfileSectionA(section, buffer, size, path)
                                    : GetPrivateProfileSectionNamesA(buffer, size, path);
        if (got < size - 2) {  // size - 2 means the list was cut
            *length = got;
            return buffer;
        }
        free(buffer);
    }
    return NULL;
}

// Number of items in a list of NUL-ended strings; -1 when it cannot be read.
long ListCount(LPCSTR section, LPCSTR path)
{
    DWORD length = 0;
    char *list = ReadList(section, path, &length);
    if (list == NULL)
        return -1;
    long count = 0;
    for (DWORD i = 0; i < length; i += (DWORD)strlen(list + i) + 1)
        count++;
    free(list);
    return count;
}

// The value as the profile functions read it back: blanks around it and one
// pair of enclosing double quotes dropped.
std::string AsRead(const std::string &value)
{
    const char *blanks = " \t\v\f\x1a";
    size_t first = value.find_first_not_of(blanks);
    if (first == std::string::npos)
        return "";
    std::string read = value.substr(first, value.find_last_not_of(blanks) - first + 1);
    if (read.size() >= 2 && read.front() == '"' && read.back() == '"')
        read = read.substr(1, read.size() - 2);
    return read;
}

BOOL NotedWritesRead(LPCSTR copy)
{
    for (const NotedWrite &write : NotedWrites) {
        std::string expected = AsRead(write.value);
        std::vector<char> buffer(expected.size() + 2);  // room to see a longer value
        DWORD length = GetPrivateProfileStringA(write.section.c_str(), write.key.c_str(), "", buffer.data(),
                                                (DWORD)buffer.size(), copy);
        if (expected.compare(0, std::string::npos, buffer.data(), length) != 0)
            return FALSE;
    }
    return TRUE;
}

// An update only adds and replaces: every section of the original must still
// be there, with at least as many lines.
BOOL OriginalKept(LPCSTR copy)
{
    DWORD length = 0;
    char *names = ReadList(NULL, BackupPath, &length);
    if (names == NULL)
        return FALSE;
    long before = ListCount(NULL, BackupPath), after = ListCount(NULL, copy);
    BOOL kept = before >= 0 && after >= before;
    for (DWORD i = 0; kept && i < length; i += (DWORD)strlen(names + i) + 1) {
        before = ListCount(names + i, BackupPath);
        after = ListCount(names + i, copy);
        kept = before >= 0 && after >= before;
    }
    free(names);
    return kept;
}

// Whether the file on disk holds what the profile functions were told to
// write. They keep content in memory and do not report every failed disk write
// (Wine ignores a full disk and goes on from the cut file), so the file is read
// afresh through a copy, under a name that they have not seen.
BOOL WritesReachedDisk(LPCSTR path)
{
    char copy[MAX_PATH];
    if (!CopyBeside(path, copy))
        return FALSE;
    BOOL reached = NotedWritesRead(copy) && OriginalKept(copy);
    DeleteCopy(copy);
    if (!reached)
        SetLastError(ERROR_WRITE_FAULT);
    return reached;
}

}  // namespace

BOOL NotedWritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value, LPCSTR path)
{
    if (!WritePrivateProfileStringA(section, key, value, path))
        return FALSE;
    if (section != NULL && key != NULL && value != NULL)
        NotedWrites.push_back(NotedWrite{section, key, value});
    return TRUE;
}

BOOL ResolveProfilePath(LPCSTR path, LPSTR resolved, DWORD size)
{
    // The profile functions look for a name without any directory in the
    // Windows directory, but the existence test found it in the current one
    // (or, for "C:name.inf", in drive C's current directory).
    if (strchr(path, '\\') == NULL && strchr(path, '/') == NULL) {
        DWORD length = GetFullPathNameA(path, size, resolved, NULL);
        if (length == 0)
            return FALSE;
        if (length >= size) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return FALSE;
        }
        return TRUE;
    }
    if (strlen(path) >= size) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    strcpy(resolved, path);
    return TRUE;
}

BOOL BeginProfileUpdate(LPCSTR path)
{
    // What would refuse the writes (a read-only file, a directory, a file that
    // another program holds) is best found before the first one.
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return FALSE;
    CloseHandle(file);
    OriginalAttributes = GetFileAttributesA(path);
    NotedWrites.clear();
    return CopyBeside(path, BackupPath);
}

BOOL CommitProfileUpdate(LPCSTR path)
{
    // The writes went straight to the file, so Windows needs no flush call
    // (and Wine answers one with FALSE); but what landed there is checked.
    if (!WritesReachedDisk(path))
        return FALSE;
    DeleteCopy(BackupPath);
    if (BackupPath[0] != '\0')
        return FALSE;
    NotedWrites.clear();
    return TRUE;
}

void AbandonProfileUpdate(LPCSTR path)
{
    if (BackupPath[0] == '\0')
        return;  // nothing was written
    DWORD error = GetLastError();
    // The copy brings back the original's content and times; a hidden or
    // read-only target would refuse it.
    SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
    if (CopyFileA(BackupPath, path, FALSE)) {
        if (OriginalAttributes != INVALID_FILE_ATTRIBUTES)
            SetFileAttributesA(path, OriginalAttributes);
        DeleteCopy(BackupPath);
    }
    // Otherwise the copy stays: it is the only intact original left.
    NotedWrites.clear();
    SetLastError(error);
}

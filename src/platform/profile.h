// Reading and updating a profile (INI-style) file.
//
// GetPrivateProfileStringA and WritePrivateProfileStringA are the Win32
// functions of those names; on POSIX this layer supplies them. The POSIX layer
// keeps writes in memory until WritePrivateProfileStringA(NULL, NULL, NULL,
// path) flushes them, and then replaces the file in one atomic step.
//
// The guarded-update calls below wrap a series of writes so that a failure
// leaves the file exactly as it was:
//   ResolveProfilePath -> reads -> BeginProfileUpdate -> writes ->
//   CommitProfileUpdate, or AbandonProfileUpdate after any failure.
#ifndef EMSGRAFT_PLATFORM_PROFILE_H
#define EMSGRAFT_PLATFORM_PROFILE_H

#include "platform/base.h"

#ifndef _WIN32
// With a key: copies the key's value (trimmed) or else `defaultValue`
// (without trailing spaces) into `buffer` and returns its length.
// With a NULL key: copies the section's key names, each ended by a NUL, the
// list ended by one more NUL, and returns the length without the last NUL;
// a list that shows no name gives the default instead.
// A value or default enclosed in double or single quotes loses them.
// A NULL section is not supported here: the result is an empty list.
DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR defaultValue,
                               LPSTR buffer, DWORD size, LPCSTR path);

// Copies the section's lines, each ended by a NUL, the list ended by one
// more, and returns the length without the last NUL: "name=value" for an
// entry, the bare name for a line holding only one; blank lines and comments
// are left out. A list that does not fit is cut to size - 2 bytes, still
// ended by two NULs, and size - 2 returned. An absent section lists nothing.
DWORD GetPrivateProfileSectionA(LPCSTR section, LPSTR buffer, DWORD size, LPCSTR path);

// Sets key=value in the section, adding the key or section where missing.
// All of section, key and value NULL flushes pending writes to `path`.
// Deleting keys or sections (a NULL key or value) is not supported here.
BOOL WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value, LPCSTR path);
#else
// The Win32 function, with each successful write noted so that
// CommitProfileUpdate can check that it reached the disk: the Win32 functions
// do not report every failed disk write (Wine ignores a full disk).
BOOL NotedWritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value, LPCSTR path);
#define WritePrivateProfileStringA NotedWritePrivateProfileStringA
#endif

// Gives the name under which the profile functions reach the same file that
// the existence test found under `path`.
BOOL ResolveProfilePath(LPCSTR path, LPSTR resolved, DWORD size);
// Prepares `path` so that a failed series of writes can be undone.
BOOL BeginProfileUpdate(LPCSTR path);
// Makes the writes since BeginProfileUpdate final.
BOOL CommitProfileUpdate(LPCSTR path);
// Leaves the file as it was before BeginProfileUpdate.
void AbandonProfileUpdate(LPCSTR path);

#endif

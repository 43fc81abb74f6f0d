// Reading and updating a profile (INI-style) file.
//
// GetPrivateProfileStringA, GetPrivateProfileSectionA and
// WritePrivateProfileStringA are the Win32 functions of those names; on POSIX
// this layer supplies them.
//
// An update never edits the file in place. On every system it takes the same
// steps, and a failure at any of them leaves the file as it was:
//   1. LocateProfile(path, profile)  follows the path once: from then on
//      `profile` names that very file, whatever becomes of the path's names.
//   2. ReadProfile(profile)  reads the file's bytes and notes which version
//      of it that is. A file gone at a later attempt, or changed while read,
//      is "changed".
//   3. BeginProfileUpdate(profile, draft)  checks that the file is still the
//      version read and could be replaced, waits for another program's lock
//      on it (LOCK_WAIT_MS, then FILE_LOCKED_MESSAGE), takes this run's turn
//      on the file, and makes a private draft of the version read, which no
//      other program sees, named in `draft`. After a failed step 2 it fails
//      for the same reason.
//   4. WritePrivateProfileStringA(..., draft)  makes the changes; reads of
//      `draft` see them.
//   5. CommitProfileUpdate(draft)  puts the draft on disk, checks it, checks
//      that the file is still the version read (its bytes too, where its
//      time cannot tell: RacilyRead), and puts the draft in the file's place
//      in one step, giving up the turn.
//   6. AbandonProfileUpdate(draft)  after a failure: drops the draft and
//      gives up the turn.
// When step 2, 3 or 5 fails because another program changed or removed the
// file since it was read (ProfileChangedSinceRead), the caller may start
// again at step 2. From step 1 on, the first request to stop (below) fails
// the next step, naming it, but a commit that has put the draft in place.
//
// How each system does it:
//   profile  POSIX: the path as given; the file's directory is held open
//            and every later step works in it, never following a link again.
//            Windows: the full path that the profile functions reach.
//   version  POSIX: device, inode, size and modification time.
//            Windows: volume, file index, size and last-write time.
//   reads    POSIX: reads of `profile` see the version read at step 2.
//            Windows: the system's functions read the file as it stands.
//   draft    POSIX: the file's text in memory; `draft` is `profile`.
//            Windows: a copy of the file in its directory (emg*.tmp), written
//            by the system's profile functions.
//   commit   POSIX: a temporary file beside the file, fsync, renameat.
//            Windows: FlushFileBuffers, the copy read back and checked line
//            by line against the file read, then renamed over the file.
//   turn     POSIX: an exclusive flock on the file read; another program's
//            flock or POSIX write lock is waited for.
//            Windows: a mutex named after the file's volume and index;
//            another program's LockFileEx lock is waited for.
//   stops    POSIX: SIGINT, SIGTERM, SIGHUP, SIGQUIT.
//            Windows: Ctrl+C, Ctrl+Break, a closed console.
// A file name that Windows maps to the registry (IniFileMapping) is the one
// exception: the system keeps its entries in the registry, so the draft is
// the file's own name, the writes reach the registry one by one, and step 6
// cannot take them back.
#ifndef EMSGRAFT_PLATFORM_PROFILE_H
#define EMSGRAFT_PLATFORM_PROFILE_H

#include "platform/base.h"

#ifndef _WIN32
// Here `path` names a file that LocateProfile located (then read by
// ReadProfile, its update begun by BeginProfileUpdate for writes): any other
// reads as nothing, and writes to it fail (EINVAL).
//
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
// do not report every failed disk write (Wine ignores a full disk). A write
// that another program refuses for a moment is tried again.
BOOL NotedWritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value, LPCSTR path);
#define WritePrivateProfileStringA NotedWritePrivateProfileStringA
#endif

// Step 1: the name under which the later steps reach the file that `path`
// names (`size` bytes at `profile`).
BOOL LocateProfile(LPCSTR path, LPSTR profile, DWORD size);
// Step 2: FALSE when the file cannot be read; it then reads as empty, and
// step 3 fails for the same reason.
BOOL ReadProfile(LPCSTR profile);
// Step 3: names the draft in `draft` (`size` bytes).
BOOL BeginProfileUpdate(LPCSTR profile, LPSTR draft, DWORD size);
// Step 5.
BOOL CommitProfileUpdate(LPCSTR draft);
// Step 6.
void AbandonProfileUpdate(LPCSTR draft);
// Whether the step that failed last failed because the file is no longer the
// version that step 2 read: changed, replaced or removed by another program.
BOOL ProfileChangedSinceRead(void);

#endif

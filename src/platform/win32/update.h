// The Windows layer's own declarations: the one update a run makes, which
// each step of platform/profile.h fills in turn, and what the steps share.
#ifndef EMSGRAFT_PLATFORM_WIN32_UPDATE_H
#define EMSGRAFT_PLATFORM_WIN32_UPDATE_H

#include <stddef.h>

#include "platform/base.h"

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

// A write that the profile functions accepted: section, key and value, one
// allocation of three NUL-ended strings. A key written twice keeps the last.
typedef struct {
    char *Section;
    char *Key;
    char *Value;
} NOTED_WRITE;

typedef struct {
    // LocateProfile: the full path, and whether Windows maps its name to the
    // registry (the writes then go through the profile functions directly).
    char Path[MAX_PATH];
    BOOL Mapped;

    // ReadProfile: the file's bytes and what it was, or why it could not be
    // read (Bytes NULL).
    char *Bytes;
    DWORD Length;
    DWORD ReadError;
    BOOL ReadBefore;  // a file was read at an earlier attempt of this run
    FILE_VERSION Version;
    DWORD Attributes;
    FILETIME Creation;
    FILETIME ReadAt;  // this machine's clock just before the file's times were taken
    DWORD ReadTick;   // GetTickCount then

    // BeginProfileUpdate: the turn taken among runs on the file, its
    // security descriptor, and the copy the writes go to (DraftPath empty
    // when there is none) with its file index.
    HANDLE Turn;
    void *Security;
    DWORD SecurityParts;
    char DraftPath[MAX_PATH];
    DWORD DraftIndexHigh;
    DWORD DraftIndexLow;
    FILETIME DraftMadeAt;  // the copy's time as its file system gave it
    DWORD DraftMadeTick;   // GetTickCount then

    // The writes since BeginProfileUpdate.
    NOTED_WRITE *Writes;
    DWORD WriteCount;
    DWORD WriteCapacity;
} PROFILE_UPDATE;

extern PROFILE_UPDATE Update;

// Opens a file that exists, shared with every other program, with
// CreateFileA's `Flags`; a refusal that another program causes for a moment
// is retried.
HANDLE OpenShared(LPCSTR Path, DWORD Access, DWORD Flags);
// Reads `Length` bytes from the start of `File` into a new buffer of
// malloc's (NUL-ended); NULL when it cannot (ERROR_HANDLE_EOF when the file
// holds fewer, ERROR_PROFILE_CHANGED_SINCE_READ when it holds more).
char *ReadWhole(HANDLE File, DWORD Length);
// Opens the file for `Access`, shared with every other program, when it is
// still the version read; else INVALID_HANDLE_VALUE, and the error
// ERROR_PROFILE_CHANGED_SINCE_READ for a file changed, replaced or removed.
HANDLE OpenTheVersionRead(DWORD Access);
void VersionOf(const BY_HANDLE_FILE_INFORMATION *Info, FILE_VERSION *Version);
BOOL IsVersionRead(const BY_HANDLE_FILE_INFORMATION *Info);
BOOL FailWith(DWORD Error);

// Whether the copy's text holds the file's text with the writes made, and
// nothing else (draft_check.cpp).
BOOL CopyHoldsTheUpdate(const char *Copy, size_t CopyLength);

// Whether `Draft` names the copy of the update under way (draft.cpp).
BOOL IsTheDraft(LPCSTR Draft);
// Deletes the copy, if there is one; keeps the last error.
void DeleteDraft(void);
// Ends the update under way: releases the turn, forgets the writes and
// the copy's name; keeps the last error.
void EndUpdate(void);

// What the new file carries over from the file (commit.cpp): the access
// that reading the file's security descriptor needs, and reading it from
// the file opened with that access.
DWORD CarriedSecurityAccess(void);
BOOL ReadCarriedSecurity(HANDLE File);
// Leaves out of what is carried the parts that the new copy has already,
// so that its rename needs no more rights than it must.
void NarrowCarriedSecurity(HANDLE Copy);

// What other programs and the console do to an update (interference.cpp).
// Whether to try a call again that another program refused for a moment (a
// sharing or lock violation, or access denied, as virus scanners, backup
// agents and editors cause them): sleeps before the next try and returns
// TRUE while the bounded time allows one. `Try` counts from 0.
BOOL RetryRefused(int *Try);
// From the first call on, Ctrl+C, Ctrl+Break and a closed console stop the
// update at its next step instead of ending the process.
void CatchConsoleControl(void);
// FALSE, with the error ERROR_PROFILE_INTERRUPTED + the event, once one has
// come; TRUE otherwise.
BOOL NotStopped(void);
// Whether a copy exists that a closing console must wait for the update to
// remove or put in place.
void MarkUpdateUnderWay(BOOL UnderWay);

#endif

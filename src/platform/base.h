// Win32 base types and the few conventions that differ between the builds.
// On Windows they come from <windows.h>; on POSIX this header supplies them,
// so the program's logic reads the same on both.
#ifndef EMSGRAFT_PLATFORM_BASE_H
#define EMSGRAFT_PLATFORM_BASE_H

#ifdef _WIN32
#include <windows.h>
#define PATH_SEPARATOR '\\'
// Windows tools take options after "/" as well as "-".
#define OPTION_MARKERS "/-"
// This program's own error code (bit 29 marks an application's codes): the
// file is no longer the version that the update started from.
#define ERROR_PROFILE_CHANGED_SINCE_READ 0x20E40001UL
#else
#include <stdint.h>
typedef uint32_t DWORD;
typedef unsigned int UINT;
typedef int BOOL;
typedef char *LPSTR;
typedef const char *LPCSTR;
#define TRUE 1
#define FALSE 0
#define MAX_PATH 260
#define WINAPI
#define PATH_SEPARATOR '/'
// "/" starts an absolute path here, so only "-" marks an option.
#define OPTION_MARKERS "-"
void Sleep(DWORD milliseconds);
DWORD GetCurrentProcessId(void);
#endif

// Names are compared ignoring the case of ASCII letters only, whatever the
// locale.
static inline char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c; }

// Describes the error of the last failed platform operation in `buffer`.
void LastErrorMessage(LPSTR buffer, DWORD size);
// How it describes a file that another program changed, replaced or removed
// since the update read it, on every system.
static const char FILE_CHANGED_MESSAGE[] = "the file was changed or replaced during the update";

#endif

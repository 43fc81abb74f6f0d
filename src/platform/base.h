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
// This program's own error codes (bit 29 marks an application's codes),
// described by LastErrorMessage with the texts below.
#define ERROR_PROFILE_CHANGED_SINCE_READ 0x20E40001UL  // FILE_CHANGED_MESSAGE
#define ERROR_PROFILE_LOCKED 0x20E40002UL              // FILE_LOCKED_MESSAGE
#define ERROR_PROFILE_COPY_INCOMPLETE 0x20E40003UL     // COPY_INCOMPLETE_MESSAGE
#define ERROR_PROFILE_COPY_REPLACED 0x20E40004UL       // COPY_REPLACED_MESSAGE
#define ERROR_PROFILE_OWNER_NOT_KEPT 0x20E40005UL      // OWNER_NOT_KEPT_MESSAGE
#define ERROR_PROFILE_NOT_A_FILE 0x20E40006UL          // "it names a device, not a file"
// Plus the console control event (CTRL_C_EVENT, ...): the update was
// stopped by it.
#define ERROR_PROFILE_INTERRUPTED 0x20E40100UL
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
// CP_UTF8 where the locale's character set (LC_ALL, LC_CTYPE, LANG) is
// UTF-8, else 0: what the terminal takes the program's bytes for.
#define CP_UTF8 65001
UINT GetConsoleOutputCP(void);
#endif

// Names are compared ignoring the case of ASCII letters only, whatever the
// locale.
static inline char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c; }

// Describes the error of the last failed platform operation in `buffer`.
void LastErrorMessage(LPSTR buffer, DWORD size);
// How it describes, on every system: a file that another program changed,
// replaced or removed since the update read it; one that another program
// kept locked; a temporary copy whose bytes on disk are not what was
// written; one that another program replaced; a file whose owner, group or
// permissions the new file cannot be given.
static const char FILE_CHANGED_MESSAGE[] = "the file was changed or replaced during the update";
static const char FILE_LOCKED_MESSAGE[] = "the file is locked by another program";
static const char COPY_INCOMPLETE_MESSAGE[] = "the new content did not reach the disk whole (is the disk full?)";
static const char COPY_REPLACED_MESSAGE[] = "the temporary copy was replaced by another program";
static const char OWNER_NOT_KEPT_MESSAGE[] = "its owner, group and permissions cannot be kept";
// How long an update waits for another program (another run among them) to
// let go of the file before it gives up, saying FILE_LOCKED_MESSAGE.
static const DWORD LOCK_WAIT_MS = 5000;

// A file's modification time tells a change from the version read only once
// the file system's clock has moved past it: a file changed less than this
// long before it was read (2 seconds is FAT's granularity, 1 second ext2's
// and many network file systems'), or later, is compared by content before
// it is replaced, as git compares a "racily clean" entry. The moment of the
// read is taken by this machine's clock and by the file system's (as the
// time of the file the update creates tells it, less the time since the
// read), whichever is earlier, so that a file server's clock running ahead or
// behind does not hide a change. All in milliseconds.
static const long long RACY_WINDOW_MS = 3000;
static inline BOOL RacilyRead(long long Modified, long long ReadAt, long long FileSystemReadAt)
{
    long long Earliest = ReadAt < FileSystemReadAt ? ReadAt : FileSystemReadAt;
    return Modified + RACY_WINDOW_MS > Earliest;
}

#endif

// Existence test for the service file.
#ifndef EMSGRAFT_PLATFORM_FILE_ATTRIBUTES_H
#define EMSGRAFT_PLATFORM_FILE_ATTRIBUTES_H

#include "platform/base.h"

#ifndef _WIN32
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)
#define FILE_ATTRIBUTE_DIRECTORY 0x10
#define FILE_ATTRIBUTE_NORMAL 0x80
// INVALID_FILE_ATTRIBUTES when nothing of that name exists (or it cannot be
// looked up); otherwise the attributes, FILE_ATTRIBUTE_DIRECTORY for a directory.
DWORD GetFileAttributesA(LPCSTR path);
#endif

// After GetFileAttributesA failed: whether nothing of that name exists,
// rather than the test failing for another reason (permission, a link loop).
BOOL FileNotFound(void);

#endif

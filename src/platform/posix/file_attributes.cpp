#include "platform/file_attributes.h"

#include <errno.h>
#include <sys/stat.h>

DWORD GetFileAttributesA(LPCSTR path)
{
    struct stat st;
    if (stat(path, &st) != 0)
        return INVALID_FILE_ATTRIBUTES;
    return S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
}

BOOL FileNotFound(void) { return errno == ENOENT || errno == ENOTDIR; }

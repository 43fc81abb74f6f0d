// list_profile FILE...: prints, for each file, every section, key and value as
// the Win32 profile functions read them, in the order they give them:
//   file <n>
//   [section]
//   key=value
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// A name list (sections, or the keys of one section) in a buffer of malloc's.
static char *ReadNames(const char *section, const char *path, DWORD *length)
{
    for (DWORD size = 1 << 16; size <= (1u << 28); size *= 2) {
        char *buffer = (char *)malloc(size);
        if (buffer == NULL)
            break;
        DWORD got = section == NULL ? GetPrivateProfileSectionNamesA(buffer, size, path)
                                    : GetPrivateProfileStringA(section, NULL, "", buffer, size, path);
        if (got < size - 2) {  // size - 2 means the list was cut
            *length = got;
            return buffer;
        }
        free(buffer);
    }
    fprintf(stderr, "cannot list %s\n", path);
    exit(2);
}

int main(int argc, char **argv)
{
    static char value[1 << 16];
    for (int i = 1; i < argc; i++) {
        printf("file %d\n", i);
        DWORD sectionsLength = 0;
        char *sections = ReadNames(NULL, argv[i], &sectionsLength);
        for (DWORD s = 0; s < sectionsLength; s += (DWORD)strlen(sections + s) + 1) {
            const char *section = sections + s;
            printf("[%s]\n", section);
            DWORD keysLength = 0;
            char *keys = ReadNames(section, argv[i], &keysLength);
            for (DWORD k = 0; k < keysLength; k += (DWORD)strlen(keys + k) + 1) {
                GetPrivateProfileStringA(section, keys + k, "", value, sizeof value, argv[i]);
                printf("%s=%s\n", keys + k, value);
            }
            free(keys);
        }
        free(sections);
    }
    return 0;
}

#include "shown_path.h"

#include <stdio.h>
#include <string.h>

// How many bytes at `Byte` form a control character beyond ASCII's, which a
// terminal would act on: a C1 control (0x80-0x9f where the terminal's
// character set is not UTF-8; U+0080-U+009F in UTF-8), or in UTF-8 one of
// the bidirectional embeddings, overrides and isolates (U+202A-U+202E,
// U+2066-U+2069), which reorder what the line shows. 0 for anything else.
// Windows builds print their ANSI code page, where these bytes are
// characters.
static size_t WideControlLength(const unsigned char *Byte, BOOL Utf8)
{
#ifdef _WIN32
    (void)Byte;
    (void)Utf8;
    return 0;
#else
    if (!Utf8)
        return *Byte >= 0x80 && *Byte <= 0x9f ? 1 : 0;
    if (Byte[0] == 0xC2 && Byte[1] >= 0x80 && Byte[1] <= 0x9F)
        return 2;
    if (Byte[0] == 0xE2 && ((Byte[1] == 0x80 && Byte[2] >= 0xAA && Byte[2] <= 0xAE) ||
                            (Byte[1] == 0x81 && Byte[2] >= 0xA6 && Byte[2] <= 0xA9)))
        return 3;
    return 0;
#endif
}

void ShowPath(const char *Path, char *Shown, DWORD Size)
{
    static const char NAMED_ESCAPES[] = "\a\b\t\n\v\f\r";
    static const char NAMES[] = "abtnvfr";
    BOOL Utf8 = GetConsoleOutputCP() == CP_UTF8;
    DWORD Length = 0;
    size_t Escaped = 0;  // bytes of a wide control still to escape
    for (const unsigned char *Byte = (const unsigned char *)Path; *Byte != '\0'; Byte++) {
        char Escape[5];
        const char *Named = strchr(NAMED_ESCAPES, *Byte);
        if (Escaped == 0)
            Escaped = WideControlLength(Byte, Utf8);
        if (Named != NULL)
            snprintf(Escape, sizeof Escape, "\\%c", NAMES[Named - NAMED_ESCAPES]);
        else if (*Byte < 0x20 || *Byte == 0x7f || Escaped > 0)
            snprintf(Escape, sizeof Escape, "\\x%02x", *Byte);
        else
            snprintf(Escape, sizeof Escape, "%c", *Byte);
        if (Escaped > 0)
            Escaped--;
        DWORD EscapeLength = (DWORD)strlen(Escape);
        if (Length + EscapeLength >= Size)
            break;
        memcpy(Shown + Length, Escape, EscapeLength);
        Length += EscapeLength;
    }
    if (Size > 0)
        Shown[Length] = '\0';
}

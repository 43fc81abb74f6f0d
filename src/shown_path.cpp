#include "shown_path.h"

#include <stdio.h>
#include <string.h>

void ShowPath(const char *Path, char *Shown, DWORD Size)
{
    static const char NAMED_ESCAPES[] = "\a\b\t\n\v\f\r";
    static const char NAMES[] = "abtnvfr";
    DWORD Length = 0;
    for (const unsigned char *Byte = (const unsigned char *)Path; *Byte != '\0'; Byte++) {
        char Escape[5];
        const char *Named = strchr(NAMED_ESCAPES, *Byte);
        if (Named != NULL)
            snprintf(Escape, sizeof Escape, "\\%c", NAMES[Named - NAMED_ESCAPES]);
        else if (*Byte < 0x20 || *Byte == 0x7f)
            snprintf(Escape, sizeof Escape, "\\x%02x", *Byte);
        else
            snprintf(Escape, sizeof Escape, "%c", *Byte);
        DWORD EscapeLength = (DWORD)strlen(Escape);
        if (Length + EscapeLength >= Size)
            break;
        memcpy(Shown + Length, Escape, EscapeLength);
        Length += EscapeLength;
    }
    if (Size > 0)
        Shown[Length] = '\0';
}

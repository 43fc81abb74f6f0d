// How the Win32 profile functions read names and values: the one definition
// that both platform layers go by (the POSIX layer to read as they do, the
// Windows layer to check what they wrote).
//
// A file is read as lines, each ended by CRLF, LF or a lone CR, after a
// leading UTF-8 byte-order mark. ClassifyProfileLine says what each line is:
//   blank    nothing but blanks;
//   header   first non-blank byte "[", and a "]" after it: it starts the
//            section named by the text up to its last "]";
//   comment  first non-blank byte ";": readable by its name, never listed;
//   key      any other line: a name, then "=" and a value, or a name alone.
// Names and values are trimmed of blanks and end at a NUL byte.
#ifndef EMSGRAFT_PLATFORM_PROFILE_RULES_H
#define EMSGRAFT_PLATFORM_PROFILE_RULES_H

#include <stddef.h>
#include <string.h>

#include "platform/base.h"

// The blanks trimmed around names and values; Ctrl-Z is one of them.
static inline BOOL IsProfileBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\x1a'; }

static inline BOOL IsProfileLineBreak(char c) { return c == '\r' || c == '\n'; }

// The length of the line break at `At` (a CR or an LF): a CR followed by an
// LF is one break.
static inline size_t ProfileLineBreakLength(const char *Text, size_t Length, size_t At)
{
    return Text[At] == '\r' && At + 1 < Length && Text[At + 1] == '\n' ? 2 : 1;
}

// Where the first line starts: after a UTF-8 byte-order mark.
static inline size_t ProfileBodyStart(const char *Text, size_t Length)
{
    return Length >= 3 && memcmp(Text, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
}

typedef enum {
    PROFILE_LINE_BLANK,
    PROFILE_LINE_HEADER,
    PROFILE_LINE_COMMENT,
    PROFILE_LINE_KEY,
} PROFILE_LINE_KIND;

// A line's text (without its line break) as ClassifyProfileLine reads it.
// Name and Value are offsets and lengths in the line's text.
typedef struct {
    PROFILE_LINE_KIND Kind;
    BOOL HasValue;       // a comment or key with "=" after its name
    size_t NameOffset;   // a header's section name; a comment's or key's name
    size_t NameLength;
    size_t ValueOffset;  // where the value starts, its blanks trimmed
    size_t ValueLength;  // cut at a NUL byte
} PROFILE_LINE;

// Where the last "]" of a line stands after its first non-blank byte,
// `First`; 0 when none does.
static inline size_t ProfileHeaderClose(const char *Text, size_t Length, size_t First)
{
    for (size_t Close = Length; Close > First + 1; Close--)
        if (Text[Close - 1] == ']')
            return Close - 1;
    return 0;
}

// The kind of a line, from its first non-blank byte alone (and, for "[",
// whether a "]" follows): the first step of ClassifyProfileLine, for scans
// that need no name. `Start` gets the offset of the first non-blank byte.
static inline PROFILE_LINE_KIND ProfileLineKind(const char *Text, size_t Length, size_t *Start)
{
    size_t First = 0, End = Length;
    while (First < Length && IsProfileBlank(Text[First]))
        First++;
    while (End > First && IsProfileBlank(Text[End - 1]))
        End--;
    *Start = First;
    if (End == First)
        return PROFILE_LINE_BLANK;
    if (Text[First] == '[' && ProfileHeaderClose(Text, Length, First) != 0)
        return PROFILE_LINE_HEADER;
    return Text[First] == ';' ? PROFILE_LINE_COMMENT : PROFILE_LINE_KEY;
}

// Trims the blanks around [*Offset, *Offset + *Length) of Text, then cuts it
// at its first NUL byte.
static inline void TrimProfileName(const char *Text, size_t *Offset, size_t *Length)
{
    size_t Begin = *Offset, End = *Offset + *Length, Nul;
    while (Begin < End && IsProfileBlank(Text[Begin]))
        Begin++;
    while (End > Begin && IsProfileBlank(Text[End - 1]))
        End--;
    // Most names are short: a loop costs less than a call there.
    if (End - Begin < 64) {
        for (Nul = Begin; Nul < End && Text[Nul] != '\0'; Nul++)
            ;
    } else {
        const void *Found = memchr(Text + Begin, '\0', End - Begin);
        Nul = Found != NULL ? (size_t)((const char *)Found - Text) : End;
    }
    *Offset = Begin;
    *Length = Nul - Begin;
}

// What a line is, and its name and value.
static inline void ClassifyProfileLine(const char *Text, size_t Length, PROFILE_LINE *Line)
{
    size_t Start;
    memset(Line, 0, sizeof *Line);
    Line->Kind = ProfileLineKind(Text, Length, &Start);
    if (Line->Kind == PROFILE_LINE_BLANK)
        return;
    if (Line->Kind == PROFILE_LINE_HEADER) {
        Line->NameOffset = Start + 1;
        Line->NameLength = ProfileHeaderClose(Text, Length, Start) - Start - 1;
        TrimProfileName(Text, &Line->NameOffset, &Line->NameLength);
        return;
    }
    const void *Equals = memchr(Text + Start, '=', Length - Start);
    size_t NameEnd = Equals != NULL ? (size_t)((const char *)Equals - Text) : Length;
    Line->NameOffset = Start;
    Line->NameLength = NameEnd - Start;
    TrimProfileName(Text, &Line->NameOffset, &Line->NameLength);
    if (Equals == NULL)
        return;
    Line->HasValue = TRUE;
    Line->ValueOffset = NameEnd + 1;
    Line->ValueLength = Length - NameEnd - 1;
    TrimProfileName(Text, &Line->ValueOffset, &Line->ValueLength);
}

// A value (or default) enclosed in a pair of the same quote, double or
// single, is read without them.
static inline BOOL IsQuotedValue(const char *value, size_t length)
{
    return length >= 2 && (value[0] == '"' || value[0] == '\'') && value[length - 1] == value[0];
}

// Whether text starts with a UTF-16 byte-order mark, in either byte order:
// the profile functions then read the file as UTF-16.
static inline BOOL StartsWithUtf16ByteOrderMark(const char *text, size_t length)
{
    return length >= 2 && (((unsigned char)text[0] == 0xFF && (unsigned char)text[1] == 0xFE) ||
                           ((unsigned char)text[0] == 0xFE && (unsigned char)text[1] == 0xFF));
}

#endif

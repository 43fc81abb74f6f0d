// How the Win32 profile functions read names and values: the one definition
// that both platform layers go by (the POSIX layer to read as they do, the
// Windows layer to check what they wrote).
//
// A file is read as lines, each ended by CRLF, LF or a lone CR, after a
// leading UTF-8 byte-order mark. ClassifyProfileLine says what each line is:
//   blank      nothing but blanks;
//   header     first non-blank byte "[", and a "]" after it: it starts the
//              section named by the text up to its last "]";
//   comment    first non-blank byte ";": readable by its name, never listed;
//   entry      any other line with "=": a name, then a value;
//   name only  any other line: a name alone.
// Names and values are trimmed of blanks and end at a NUL byte.
#ifndef EMSGRAFT_PLATFORM_PROFILE_RULES_H
#define EMSGRAFT_PLATFORM_PROFILE_RULES_H

#include <stddef.h>
#include <string.h>

#include "platform/base.h"

// The blanks trimmed around names and values; Ctrl-Z is one of them.
static inline BOOL IsProfileBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\x1a'; }

// A value (or default) enclosed in a pair of the same quote, double or
// single, is read without them.
static inline BOOL IsQuotedValue(const char *value, size_t length)
{
    return length >= 2 && (value[0] == '"' || value[0] == '\'') && value[length - 1] == value[0];
}

// A value so enclosed, as read: without the quotes.
static inline void UnquoteProfileValue(const char **value, size_t *length)
{
    if (IsQuotedValue(*value, *length)) {
        (*value)++;
        *length -= 2;
    }
}

// Whether text starts with a UTF-16 byte-order mark, in either byte order:
// the profile functions then read the file as UTF-16.
static inline BOOL StartsWithUtf16ByteOrderMark(const char *text, size_t length)
{
    return length >= 2 && (((unsigned char)text[0] == 0xFF && (unsigned char)text[1] == 0xFE) ||
                           ((unsigned char)text[0] == 0xFE && (unsigned char)text[1] == 0xFF));
}

// Whether two names are the same to the profile functions: ASCII letters
// compared without case.
static inline BOOL SameProfileName(const char *a, size_t aLength, const char *b, size_t bLength)
{
    if (aLength != bLength)
        return FALSE;
    for (size_t i = 0; i < aLength; i++) {
        if (LowerAscii(a[i]) != LowerAscii(b[i]))
            return FALSE;
    }
    return TRUE;
}

// Where the lines start: after a UTF-8 byte-order mark, if any.
static inline size_t ProfileTextStart(const char *text, size_t length)
{
    return length >= 3 && memcmp(text, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
}

static inline BOOL IsProfileLineBreak(char c) { return c == '\n' || c == '\r'; }

// The line that starts at `begin`: a line ends with CRLF, LF or a lone CR.
// Sets `*textEnd` to where its break starts and returns where the next line
// starts (`length` after the last one).
static inline size_t NextProfileLine(const char *text, size_t length, size_t begin, size_t *textEnd)
{
    size_t i = begin;
    while (i < length && !IsProfileLineBreak(text[i]))
        i++;
    *textEnd = i;
    if (i < length && text[i] == '\r' && i + 1 < length && text[i + 1] == '\n')
        return i + 2;
    return i < length ? i + 1 : i;
}

// What a line is to the profile functions.
typedef enum {
    PROFILE_LINE_BLANK,      // nothing but blanks
    PROFILE_LINE_HEADER,     // first non-blank byte "[", and a "]" after it
    PROFILE_LINE_ENTRY,      // name=value
    PROFILE_LINE_NAME_ONLY,  // a name without "="
    PROFILE_LINE_COMMENT     // first non-blank byte ";": never listed
} PROFILE_LINE_KIND;

typedef struct {
    PROFILE_LINE_KIND Kind;
    // A header's section name (between "[" and the last "]"); the key name of
    // an entry, a name-only line or a comment (whose name starts with ";").
    // Trimmed, and ended at a NUL byte as C strings are.
    const char *Name;
    size_t NameLength;
    // Whether an "=" follows the name: an entry, or a comment that has one.
    BOOL HasValue;
    // An entry's or a comment's value: what follows the first "=", trimmed,
    // ended at a NUL. Empty for the other kinds.
    const char *Value;
    size_t ValueLength;
} PROFILE_LINE;

// A line that can be read by its name: an entry, or a name alone.
static inline BOOL IsProfileKey(PROFILE_LINE_KIND kind)
{
    return kind == PROFILE_LINE_ENTRY || kind == PROFILE_LINE_NAME_ONLY;
}

// A line that gives a section a key, as this program counts them: an entry
// with a name. Comments, lines without "=" and lines whose name is empty
// are no keys.
static inline BOOL IsNamedProfileEntry(const PROFILE_LINE *line)
{
    return line->Kind == PROFILE_LINE_ENTRY && line->NameLength > 0;
}

static inline void TrimProfileBlanks(const char **text, size_t *length)
{
    while (*length > 0 && IsProfileBlank(**text)) {
        (*text)++;
        (*length)--;
    }
    while (*length > 0 && IsProfileBlank((*text)[*length - 1]))
        (*length)--;
}

static inline size_t ProfileLengthToNul(const char *text, size_t length)
{
    // Most names are short: a loop costs less than a call there.
    if (length < 64) {
        size_t i = 0;
        while (i < length && text[i] != '\0')
            i++;
        return i;
    }
    const char *nul = (const char *)memchr(text, '\0', length);
    return nul != NULL ? (size_t)(nul - text) : length;
}

// Where the last "]" of a line, trimmed of blanks, stands after its first
// byte; 0 when none does. A line that starts with "[" is a header if one does.
static inline size_t ProfileHeaderClose(const char *text, size_t length)
{
    size_t close = length;
    while (close > 1 && text[close - 1] != ']')
        close--;
    return close > 1 ? close - 1 : 0;
}

// Classifies one line, given without its line break.
static inline PROFILE_LINE ClassifyProfileLine(const char *text, size_t length)
{
    PROFILE_LINE line = {PROFILE_LINE_BLANK, text, 0, FALSE, text, 0};
    TrimProfileBlanks(&text, &length);
    if (length == 0)
        return line;
    size_t close = text[0] == '[' ? ProfileHeaderClose(text, length) : 0;
    if (close != 0) {
        line.Kind = PROFILE_LINE_HEADER;
        line.Name = text + 1;
        line.NameLength = close - 1;
        TrimProfileBlanks(&line.Name, &line.NameLength);
        line.NameLength = ProfileLengthToNul(line.Name, line.NameLength);
        return line;
    }
    const char *equals = (const char *)memchr(text, '=', length);
    line.Kind = text[0] == ';' ? PROFILE_LINE_COMMENT : equals != NULL ? PROFILE_LINE_ENTRY : PROFILE_LINE_NAME_ONLY;
    line.Name = text;
    line.NameLength = equals != NULL ? (size_t)(equals - text) : length;
    TrimProfileBlanks(&line.Name, &line.NameLength);
    line.NameLength = ProfileLengthToNul(line.Name, line.NameLength);
    if (equals != NULL) {
        line.HasValue = TRUE;
        line.Value = equals + 1;
        line.ValueLength = length - (size_t)(equals + 1 - text);
        TrimProfileBlanks(&line.Value, &line.ValueLength);
        line.ValueLength = ProfileLengthToNul(line.Value, line.ValueLength);
    }
    return line;
}

#endif

// How the Win32 profile functions read names and values: the one definition
// that both platform layers go by (the POSIX layer to read as they do, the
// Windows layer to check what they wrote).
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

// Whether text starts with a UTF-16 byte-order mark, in either byte order:
// the profile functions then read the file as UTF-16.
static inline BOOL StartsWithUtf16ByteOrderMark(const char *text, size_t length)
{
    return length >= 2 && (((unsigned char)text[0] == 0xFF && (unsigned char)text[1] == 0xFE) ||
                           ((unsigned char)text[0] == 0xFE && (unsigned char)text[1] == 0xFF));
}

#endif

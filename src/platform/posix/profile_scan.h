// Reading a profile's text fast: lines found with memchr, sections found by
// a fingerprint of their names, and shortcuts that tell a line's kind without
// classifying all of it. Each gives what ClassifyProfileLine would give
// (profile_rules.h); the fuzz target holds the shortcuts to it.
#ifndef EMSGRAFT_PLATFORM_POSIX_PROFILE_SCAN_H
#define EMSGRAFT_PLATFORM_POSIX_PROFILE_SCAN_H

#include <stdint.h>
#include <string.h>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <algorithm>
#include <optional>
#include <string_view>

#include "platform/posix/owned.h"
#include "platform/profile_rules.h"

namespace emsgraft {

inline std::string_view TrimLeft(std::string_view s)
{
    size_t i = 0;
    while (i < s.size() && IsProfileBlank(s[i]))
        ++i;
    return s.substr(i);
}

inline std::string_view TrimRight(std::string_view s)
{
    size_t n = s.size();
    while (n > 0 && IsProfileBlank(s[n - 1]))
        --n;
    return s.substr(0, n);
}

inline std::string_view Trim(std::string_view s) { return TrimRight(TrimLeft(s)); }

inline bool EqualIgnoringAsciiCase(std::string_view a, std::string_view b)
{
    return SameProfileName(a.data(), a.size(), b.data(), b.size());
}

// Eight bytes at once with their ASCII capitals in lower case: a byte below
// 0x80 whose low seven bits lie in ['A', 'Z'] gains 0x20. The sums never
// carry from one byte into the next.
inline uint64_t LowerAsciiWord(uint64_t word)
{
    const uint64_t kHigh = 0x8080808080808080ull, kLow = 0x7F7F7F7F7F7F7F7Full;
    uint64_t low = word & kLow;
    uint64_t fromA = low + 0x3F3F3F3F3F3F3F3Full;  // high bit set from 'A' on
    uint64_t pastZ = low + 0x2525252525252525ull;  // high bit set past 'Z'
    return word | ((fromA & ~pastZ & ~word & kHigh) >> 2);
}

// Sixteen bits of a hash of the name's lower-case form, eight bytes a step:
// a file may hold millions of names.
inline uint16_t Fingerprint(std::string_view name)
{
    uint64_t hash = name.size();
    for (size_t i = 0; i < name.size(); i += 8) {
        uint64_t word = 0;
        if (name.size() - i >= 8)
            memcpy(&word, name.data() + i, 8);
        else  // byte by byte: a short copy to memory read back whole stalls
            for (size_t j = 0; i + j < name.size(); ++j)
                word |= uint64_t(static_cast<unsigned char>(name[i + j])) << (8 * j);
        hash = (hash ^ LowerAsciiWord(word)) * 0x9E3779B97F4A7C15ull;
        hash ^= hash >> 29;
    }
    return static_cast<uint16_t>(hash >> 48);
}

// The first of `count` fingerprints from `from` on that equals `wanted`, or
// `count`; eight at one comparison where the processor can.
inline size_t FindFingerprint(const uint16_t *fingerprints, size_t from, size_t count, uint16_t wanted)
{
    size_t i = from;
#ifdef __SSE2__
    const __m128i all = _mm_set1_epi16(static_cast<short>(wanted));
    for (; i + 8 <= count; i += 8) {
        __m128i eight = _mm_loadu_si128(reinterpret_cast<const __m128i *>(fingerprints + i));
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(eight, all)) != 0)
            break;
    }
#endif
    while (i < count && fingerprints[i] != wanted)
        ++i;
    return i;
}

struct Line {
    size_t begin = 0;    // offset of the line's first byte
    size_t textEnd = 0;  // offset of its line break
    size_t end = 0;      // offset after its line break
};

// Walks the lines of a text in order. Past a line's first bytes, memchr
// finds the breaks far faster than a byte loop. The next CR and the next LF
// are each remembered until passed, so that a text using only one of them is
// still searched once, not once per line.
class LineReader {
public:
    LineReader(std::string_view bytes, size_t begin) : bytes_(bytes), pos_(begin) {}

    bool Next(Line &line)
    {
        if (pos_ >= bytes_.size())
            return false;
        // Most lines are short: their first bytes looked at one by one cost
        // less than a search.
        size_t i = pos_, near = std::min(bytes_.size(), pos_ + 32);
        while (i < near && !IsProfileLineBreak(bytes_[i]))
            ++i;
        if (i == near)
            i = FarBreak();
        size_t textEnd;
        line = Line{pos_, i, NextProfileLine(bytes_.data(), bytes_.size(), i, &textEnd)};
        pos_ = line.end;
        return true;
    }

private:
    // The offset of the first line break at or after pos_, or the text's size.
    __attribute__((noinline)) size_t FarBreak() { return std::min(Find(nextCr_, '\r'), Find(nextLf_, '\n')); }

    // The offset of the first `c` at or after pos_, or the text's size.
    size_t Find(size_t &next, char c)
    {
        if (next < pos_ || next == kUnknown) {
            const void *found = memchr(bytes_.data() + pos_, c, bytes_.size() - pos_);
            next = found != nullptr ? static_cast<size_t>(static_cast<const char *>(found) - bytes_.data())
                                    : bytes_.size();
        }
        return next;
    }

    static constexpr size_t kUnknown = static_cast<size_t>(-1);
    std::string_view bytes_;
    size_t pos_;
    size_t nextCr_ = kUnknown, nextLf_ = kUnknown;
};

// The single line starting at `begin`: a byte loop, as a search for each
// kind of line break could run far past it.
inline Line LineAt(std::string_view bytes, size_t begin)
{
    Line line{begin, 0, 0};
    line.end = NextProfileLine(bytes.data(), bytes.size(), begin, &line.textEnd);
    return line;
}

// A line as the POSIX layer uses it: ClassifyProfileLine's answer in views.
struct ParsedLine {
    PROFILE_LINE_KIND kind = PROFILE_LINE_BLANK;
    bool hasValue = false;
    std::string_view name;   // section name of a header, key name otherwise
    std::string_view value;  // of a key or comment with "="
    size_t valueOffset = 0;  // where the value starts in the line's text
};

inline ParsedLine ParseLine(std::string_view text)
{
    PROFILE_LINE line = ClassifyProfileLine(text.data(), text.size());
    ParsedLine parsed;
    parsed.kind = line.Kind;
    parsed.hasValue = line.HasValue;
    parsed.name = std::string_view(line.Name, line.NameLength);
    if (line.HasValue) {
        parsed.value = std::string_view(line.Value, line.ValueLength);
        parsed.valueOffset = static_cast<size_t>(line.Value - text.data());
    }
    return parsed;
}

// A key: an entry or a line holding only a name.
inline bool IsKey(const ParsedLine &line) { return IsProfileKey(line.kind); }

// A line that a key can be read from by its name: a key or a comment.
inline bool IsReadableKey(const ParsedLine &line) { return IsKey(line) || line.kind == PROFILE_LINE_COMMENT; }

// A UTF-16 text, after its byte-order mark (either order), in UTF-8; what
// is no character becomes U+FFFD. Throws std::bad_alloc.
ByteBuffer Utf16ToUtf8(std::string_view bytes);

// The shortcuts by which the reading avoids classifying every line of a
// text; each gives what ClassifyProfileLine would give (profile_rules.h), and
// the fuzz target holds them to it.
namespace profile_shortcuts {

// A header line found by NextHeader.
struct Header {
    size_t begin = 0;        // offset of the line
    size_t end = 0;          // after its line break
    std::string_view name;   // the section's name
};
// The first line at or after `from` (a line's start) that ClassifyProfileLine
// calls a header. Only a line whose first non-blank byte is "[" can be one:
// the others are passed over unread.
std::optional<Header> NextHeader(std::string_view text, size_t from);

// Whether ClassifyProfileLine calls the line an entry or a name alone (not
// blank, a header or a comment), without reading its name.
bool IsKeyLine(std::string_view line);

// False only for a line that ClassifyProfileLine gives no name equal to
// `key` (trimmed; ignoring ASCII case): a name starts at the line's first
// non-blank byte.
bool MayHoldKey(std::string_view line, std::string_view key);

}  // namespace profile_shortcuts

}  // namespace emsgraft

#endif

#include "platform/posix/profile_scan.h"

#include <string>

namespace emsgraft {

ByteBuffer Utf16ToUtf8(std::string_view bytes)
{
    bool bigEndian = bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFE;
    auto unit = [&](size_t at) {
        unsigned first = static_cast<unsigned char>(bytes[at]), second = static_cast<unsigned char>(bytes[at + 1]);
        return bigEndian ? first << 8 | second : second << 8 | first;
    };
    std::string text;
    for (size_t at = 2; at + 1 < bytes.size(); at += 2) {
        unsigned c = unit(at);
        if (c >= 0xD800 && c < 0xDC00 && at + 3 < bytes.size() && unit(at + 2) >= 0xDC00 && unit(at + 2) < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (unit(at + 2) - 0xDC00);
            at += 2;
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;
        }
        static const unsigned kLead[] = {0x00, 0xC0, 0xE0, 0xF0};
        int trailing = c < 0x80 ? 0 : c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
        text += static_cast<char>(kLead[trailing] | (c >> (6 * trailing)));
        for (int i = trailing - 1; i >= 0; --i)
            text += static_cast<char>(0x80 | ((c >> (6 * i)) & 0x3F));
    }
    ByteBuffer decoded(text.size());
    text.copy(decoded.Data(), text.size());
    return decoded;
}

namespace profile_shortcuts {

std::optional<Header> NextHeader(std::string_view text, size_t from)
{
    const char *data = text.data();
    size_t size = text.size();
    // `pos` is always a line's start.
    for (size_t pos = from; pos < size;) {
        size_t bracket = pos;
        if (data[pos] != '[') {  // where headers are dense, the next line starts with one
            const void *found = memchr(data + pos, '[', size - pos);
            if (found == nullptr)
                break;
            bracket = static_cast<size_t>(static_cast<const char *>(found) - data);
        }
        size_t lineBegin = bracket;
        while (lineBegin > pos && IsProfileBlank(data[lineBegin - 1]))
            --lineBegin;
        bool first = lineBegin == pos || IsProfileLineBreak(data[lineBegin - 1]);
        // The rest of the line, byte by byte: each byte is passed once.
        size_t textEnd;
        size_t end = NextProfileLine(data, size, bracket, &textEnd);
        if (first) {
            PROFILE_LINE line = ClassifyProfileLine(data + lineBegin, textEnd - lineBegin);
            if (line.Kind == PROFILE_LINE_HEADER)
                return Header{lineBegin, end, std::string_view(line.Name, line.NameLength)};
        }
        pos = end;
    }
    return std::nullopt;
}

bool IsKeyLine(std::string_view line)
{
    const char *text = line.data();
    size_t length = line.size();
    TrimProfileBlanks(&text, &length);
    return length > 0 && text[0] != ';' && !(text[0] == '[' && ProfileHeaderClose(text, length) != 0);
}

bool MayHoldKey(std::string_view line, std::string_view key)
{
    if (key.empty())
        return true;
    std::string_view trimmed = TrimLeft(line);
    return !trimmed.empty() && LowerAscii(trimmed.front()) == LowerAscii(key.front());
}

}  // namespace profile_shortcuts

}  // namespace emsgraft

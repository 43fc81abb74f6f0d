#include "platform/posix/profile_text.h"

#include <algorithm>

namespace emsgraft {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// The Win32 profile functions treat Ctrl-Z as white space too.
bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\x1a';
}

std::string_view TrimLeft(std::string_view s)
{
    size_t i = 0;
    while (i < s.size() && IsBlank(s[i]))
        ++i;
    return s.substr(i);
}

std::string_view TrimRight(std::string_view s)
{
    size_t n = s.size();
    while (n > 0 && IsBlank(s[n - 1]))
        --n;
    return s.substr(0, n);
}

std::string_view Trim(std::string_view s) { return TrimRight(TrimLeft(s)); }

// Names and values end at a NUL byte, as C strings do.
std::string_view CutAtNul(std::string_view s) { return s.substr(0, s.find('\0')); }

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string LowerAscii(std::string_view s)
{
    std::string lower(s);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) { return LowerAscii(c); });
    return lower;
}

bool EqualIgnoringAsciiCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return LowerAscii(x) == LowerAscii(y); });
}

struct Line {
    size_t begin = 0;    // offset of the line's first byte
    size_t textEnd = 0;  // offset of its line break
    size_t end = 0;      // offset after its line break
};

// The line starting at `begin`; a line ends with CRLF, LF or a lone CR.
Line LineAt(std::string_view bytes, size_t begin)
{
    size_t i = begin;
    while (i < bytes.size() && bytes[i] != '\n' && bytes[i] != '\r')
        ++i;
    Line line{begin, i, i};
    if (i < bytes.size())
        line.end = i + (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n' ? 2 : 1);
    return line;
}

enum class LineKind { Blank, Header, Entry, NameOnly };

struct ParsedLine {
    LineKind kind = LineKind::Blank;
    bool comment = false;       // starts with ";": readable by its name, never listed
    std::string_view name;      // section name of a header, key name otherwise
    std::string_view value;     // value of an entry
    size_t valueOffset = 0;     // where an entry's value starts in the line's text
};

ParsedLine ParseLine(std::string_view text)
{
    ParsedLine parsed;
    std::string_view trimmed = TrimLeft(text);
    if (TrimRight(trimmed).empty())
        return parsed;
    size_t trimmedOffset = text.size() - trimmed.size();
    if (trimmed.front() == '[') {
        size_t close = trimmed.rfind(']');
        if (close != std::string_view::npos) {
            parsed.kind = LineKind::Header;
            parsed.name = CutAtNul(Trim(trimmed.substr(1, close - 1)));
            return parsed;
        }
    }
    parsed.comment = trimmed.front() == ';';
    size_t equals = trimmed.find('=');
    if (equals == std::string_view::npos) {
        parsed.kind = LineKind::NameOnly;
        parsed.name = CutAtNul(TrimRight(trimmed));
        return parsed;
    }
    parsed.kind = LineKind::Entry;
    parsed.name = CutAtNul(TrimRight(trimmed.substr(0, equals)));
    std::string_view rest = trimmed.substr(equals + 1);
    std::string_view value = Trim(rest);
    parsed.valueOffset = trimmedOffset + equals + 1 + (rest.size() - TrimLeft(rest).size());
    parsed.value = CutAtNul(value);
    return parsed;
}

bool IsReadableKey(const ParsedLine &line) { return line.kind == LineKind::Entry || line.kind == LineKind::NameOnly; }

// Calls `visit(line, parsed)` for each line of a section's text after its
// header, until `visit` returns false.
template <typename Visit>
void ForEachBodyLine(std::string_view bytes, bool hasHeader, Visit visit)
{
    size_t pos = hasHeader ? LineAt(bytes, 0).end : 0;
    while (pos < bytes.size()) {
        Line line = LineAt(bytes, pos);
        if (!visit(line, ParseLine(bytes.substr(line.begin, line.textEnd - line.begin))))
            return;
        pos = line.end;
    }
}

}  // namespace

ProfileText::ProfileText(std::string bytes) : source_(std::move(bytes))
{
    std::string_view all(source_);
    if (all.substr(0, kByteOrderMark.size()) == kByteOrderMark)
        bodyBegin_ = kByteOrderMark.size();

    sections_.push_back(Section{bodyBegin_, source_.size(), false, {}});
    firstSection_.emplace("", 0);
    for (size_t pos = bodyBegin_; pos < all.size();) {
        Line line = LineAt(all, pos);
        if (eol_.empty() && line.end > line.textEnd)
            eol_ = all.substr(line.textEnd, line.end - line.textEnd);
        ParsedLine parsed = ParseLine(all.substr(line.begin, line.textEnd - line.begin));
        if (parsed.kind == LineKind::Header) {
            sections_.back().end = line.begin;
            sections_.push_back(Section{line.begin, source_.size(), false, {}});
            firstSection_.emplace(LowerAscii(parsed.name), sections_.size() - 1);
        }
        pos = line.end;
    }
    if (eol_.empty())
        eol_ = "\r\n";
}

std::string_view ProfileText::Bytes(const Section &section) const
{
    if (section.edited)
        return section.bytes;
    return std::string_view(source_).substr(section.begin, section.end - section.begin);
}

std::optional<size_t> ProfileText::FindSection(std::string_view name) const
{
    auto found = firstSection_.find(LowerAscii(Trim(name)));
    if (found == firstSection_.end())
        return std::nullopt;
    return found->second;
}

std::optional<std::string_view> ProfileText::Value(std::string_view section, std::string_view key) const
{
    std::optional<size_t> index = FindSection(section);
    if (!index)
        return std::nullopt;
    key = Trim(key);
    std::optional<std::string_view> value;
    bool found = false;
    ForEachBodyLine(Bytes(sections_[*index]), *index != 0, [&](const Line &, const ParsedLine &line) {
        found = IsReadableKey(line) && EqualIgnoringAsciiCase(line.name, key);
        if (found && line.kind == LineKind::Entry)
            value = line.value;
        return !found;
    });
    return value;
}

std::vector<std::string_view> ProfileText::KeyNames(std::string_view section) const
{
    std::vector<std::string_view> names;
    std::optional<size_t> index = FindSection(section);
    if (!index)
        return names;
    ForEachBodyLine(Bytes(sections_[*index]), *index != 0, [&](const Line &, const ParsedLine &line) {
        if (line.kind == LineKind::Entry && !line.comment)
            names.push_back(line.name);
        return true;
    });
    return names;
}

bool ProfileText::CanWrite(std::string_view section, std::string_view key, std::string_view value)
{
    auto hasLineBreak = [](std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; };
    if (hasLineBreak(section) || hasLineBreak(key) || hasLineBreak(value))
        return false;
    std::string_view name = Trim(key);
    if (name.empty() || name.find('=') != std::string_view::npos)
        return false;
    // As the first line of a file, a key that starts with a byte-order mark
    // would make the file read as UTF-16, or lose the mark from its name.
    for (std::string_view mark : {kByteOrderMark, std::string_view("\xFF\xFE"), std::string_view("\xFE\xFF")})
        if (name.substr(0, mark.size()) == mark)
            return false;
    // "[k=v]" would start a section.
    return !(name.front() == '[' &&
             (name.find(']') != std::string_view::npos || value.find(']') != std::string_view::npos));
}

bool ProfileText::SetValue(std::string_view sectionName, std::string_view key, std::string_view value)
{
    sectionName = Trim(sectionName);
    key = Trim(key);
    std::optional<size_t> index = FindSection(sectionName);
    if (!index) {
        AddSection(sectionName, key, value);
        return true;
    }
    Section &section = sections_[*index];
    std::string_view bytes = Bytes(section);
    bool hasHeader = *index != 0;

    // A new key goes after the section's last key, before the comments and
    // blank lines that end it.
    Line lastKey = hasHeader ? LineAt(bytes, 0) : Line{};
    std::optional<Line> match;
    std::optional<ParsedLine> matchParsed;
    ForEachBodyLine(bytes, hasHeader, [&](const Line &line, const ParsedLine &parsed) {
        if (!IsReadableKey(parsed))
            return true;
        if (EqualIgnoringAsciiCase(parsed.name, key)) {
            match = line;
            matchParsed = parsed;
            return false;
        }
        if (!parsed.comment)
            lastKey = line;
        return true;
    });

    if (match) {
        std::string_view text = bytes.substr(match->begin, match->textEnd - match->begin);
        std::string replacement;
        if (matchParsed->kind == LineKind::Entry)
            replacement.append(text.substr(0, matchParsed->valueOffset));
        else
            replacement.append(TrimRight(text)).append("=");
        replacement.append(value);
        if (replacement == text)
            return false;
        Replace(section, match->begin, match->textEnd, replacement);
        return true;
    }

    // The file's line ending, unless it is a lone CR followed by the LF of a
    // blank line: one CRLF would take the place of two line breaks. The line
    // before then ends with an LF, and so does the new one.
    std::string_view eol = eol_;
    if (eol_ == "\r" && lastKey.end < bytes.size() && bytes[lastKey.end] == '\n')
        eol = bytes.substr(lastKey.textEnd, lastKey.end - lastKey.textEnd);
    std::string insertion;
    if (lastKey.end == lastKey.textEnd && lastKey.end > lastKey.begin)
        insertion.append(eol_);  // the last line of the file had no line break
    insertion.append(key).append("=").append(value).append(eol);
    Replace(section, lastKey.end, lastKey.end, insertion);
    return true;
}

void ProfileText::AddSection(std::string_view name, std::string_view key, std::string_view value)
{
    Section &last = sections_.back();
    std::string_view lastBytes = Bytes(last);
    if (!lastBytes.empty() && lastBytes.back() != '\n' && lastBytes.back() != '\r')
        Replace(last, lastBytes.size(), lastBytes.size(), eol_);

    Section added{source_.size(), source_.size(), true, {}};
    added.bytes.append("[").append(name).append("]").append(eol_);
    added.bytes.append(key).append("=").append(value).append(eol_);
    sections_.push_back(std::move(added));
    firstSection_.emplace(LowerAscii(name), sections_.size() - 1);
}

void ProfileText::Replace(Section &section, size_t begin, size_t end, std::string_view text)
{
    if (!section.edited) {
        section.bytes.assign(Bytes(section));
        section.edited = true;
    }
    section.bytes.replace(begin, end - begin, text);
}

std::vector<std::string_view> ProfileText::Pieces() const
{
    // Consecutive unedited sections are one range of the original bytes.
    std::vector<std::string_view> pieces;
    std::string_view all(source_);
    size_t runBegin = 0, runEnd = bodyBegin_;
    for (const Section &section : sections_) {
        if (!section.edited) {
            runEnd = section.end;
            continue;
        }
        if (runEnd > runBegin)
            pieces.push_back(all.substr(runBegin, runEnd - runBegin));
        pieces.push_back(section.bytes);
        runBegin = runEnd = section.end;
    }
    if (runEnd > runBegin)
        pieces.push_back(all.substr(runBegin, runEnd - runBegin));
    return pieces;
}

}  // namespace emsgraft

#include "platform/posix/profile_text.h"

#include <string.h>

#include <algorithm>
#include <cstddef>

#include "platform/profile_rules.h"

namespace emsgraft {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

std::string_view TrimLeft(std::string_view s)
{
    size_t i = 0;
    while (i < s.size() && IsProfileBlank(s[i]))
        ++i;
    return s.substr(i);
}

std::string_view TrimRight(std::string_view s)
{
    size_t n = s.size();
    while (n > 0 && IsProfileBlank(s[n - 1]))
        --n;
    return s.substr(0, n);
}

std::string_view Trim(std::string_view s) { return TrimRight(TrimLeft(s)); }

// Names and values end at a NUL byte, as C strings do.
std::string_view CutAtNul(std::string_view s) { return s.substr(0, s.find('\0')); }


bool EqualIgnoringAsciiCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return LowerAscii(x) == LowerAscii(y); });
}

// FNV-1a of the name's lower-case form.
uint32_t NameHash(std::string_view name)
{
    uint32_t hash = 2166136261u;
    for (char c : name)
        hash = (hash ^ static_cast<unsigned char>(LowerAscii(c))) * 16777619u;
    return hash;
}

struct Line {
    size_t begin = 0;    // offset of the line's first byte
    size_t textEnd = 0;  // offset of its line break
    size_t end = 0;      // offset after its line break
};

// Walks the lines of a text in order; a line ends with CRLF, LF or a lone CR.
// memchr finds the breaks far faster than a byte loop. The next CR and the
// next LF are each remembered until passed, so that a text using only one of
// them is still searched once, not once per line.
class LineReader {
public:
    LineReader(std::string_view bytes, size_t begin) : bytes_(bytes), pos_(begin) {}

    bool Next(Line &line)
    {
        if (pos_ >= bytes_.size())
            return false;
        size_t i = std::min(Find(nextCr_, '\r'), Find(nextLf_, '\n'));
        line = Line{pos_, i, i};
        if (i < bytes_.size())
            line.end = i + (bytes_[i] == '\r' && i + 1 < bytes_.size() && bytes_[i + 1] == '\n' ? 2 : 1);
        pos_ = line.end;
        return true;
    }

private:
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

// Whether the line could hold `key`. A key's name starts at the line's first
// non-blank byte, so most lines are passed over without being parsed.
bool MayHoldKey(std::string_view text, std::string_view key)
{
    if (key.empty())
        return true;
    std::string_view trimmed = TrimLeft(text);
    return !trimmed.empty() && LowerAscii(trimmed.front()) == LowerAscii(key.front());
}

// What ParseLine would call a readable key that is not a comment.
bool IsUncommentedKey(std::string_view text)
{
    std::string_view trimmed = TrimLeft(text);
    if (trimmed.empty() || trimmed.front() == ';')
        return false;
    return !(trimmed.front() == '[' && trimmed.find(']') != std::string_view::npos);
}

}  // namespace

ProfileText::ProfileText(FileBytes bytes) : bytes_(std::move(bytes)), source_(bytes_.View())
{
    std::string_view all(source_);
    if (all.substr(0, kByteOrderMark.size()) == kByteOrderMark)
        bodyBegin_ = kByteOrderMark.size();

    // The first line may be the whole file: found with memchr, not byte by byte.
    Line first;
    LineReader(all, bodyBegin_).Next(first);
    eol_ = first.end > first.textEnd ? all.substr(first.textEnd, first.end - first.textEnd) : "\r\n";

    // A header is a line whose first non-blank byte is "[". Rather than
    // walking every line, jump from one "[" to the next and look back for the
    // start of its line: a large file has few of them.
    // Room for a section every 128 bytes, up to a million of them: growing
    // the index step by step copies it and faults its pages in again and
    // again, which cost a large file more than finding its headers. Pages
    // that are never used cost nothing.
    size_t expected = std::min<size_t>(all.size() / 128, 1 << 20) + 1;
    sectionBegins_.reserve(expected);
    nameHashes_.reserve(expected);
    sectionBegins_.push_back(bodyBegin_);
    nameHashes_.push_back(NameHash(""));
    for (size_t pos = bodyBegin_; pos < all.size();) {
        const void *found = memchr(all.data() + pos, '[', all.size() - pos);
        if (found == nullptr)
            break;
        size_t bracket = static_cast<size_t>(static_cast<const char *>(found) - all.data());
        size_t begin = bracket;
        while (begin > bodyBegin_ && IsProfileBlank(all[begin - 1]))
            --begin;
        if (begin > bodyBegin_ && all[begin - 1] != '\n' && all[begin - 1] != '\r') {
            pos = bracket + 1;
            continue;
        }
        Line line = LineAt(all, begin);
        ParsedLine parsed = ParseLine(all.substr(line.begin, line.textEnd - line.begin));
        if (parsed.kind == LineKind::Header) {
            sectionBegins_.push_back(line.begin);
            nameHashes_.push_back(NameHash(parsed.name));
        }
        pos = line.end;
    }
    fileSections_ = sectionBegins_.size();
}

size_t ProfileText::SectionEnd(size_t index) const
{
    if (IsAdded(index))
        return sectionBegins_[index];
    return index + 1 < fileSections_ ? sectionBegins_[index + 1] : source_.size();
}

// The header of a section; for the lines before the first header, an empty
// line just before them.
ProfileText::TextLine ProfileText::HeaderLine(size_t index) const
{
    if (IsAdded(index)) {
        const AddedLine &header = edits_.at(sectionBegins_[index]).added.front();
        return TextLine{header.text, header.eol, sectionBegins_[index], 0, sectionBegins_[index]};
    }
    if (index == 0)
        return TextLine{{}, {}, bodyBegin_, kFromFile, bodyBegin_};
    // Edits never touch a header line, so it is read where it stands.
    std::string_view all(source_);
    Line line = LineAt(all.substr(0, SectionEnd(index)), sectionBegins_[index]);
    return TextLine{all.substr(line.begin, line.textEnd - line.begin), all.substr(line.textEnd, line.end - line.textEnd),
                    line.begin, kFromFile, line.end};
}

// Calls `visit(line)` for each line of the section after its header, edits
// applied, until `visit` returns false.
template <typename Visit>
void ProfileText::ForEachBodyLine(size_t index, Visit visit) const
{
    auto visitAdded = [&](size_t offset, const Edit &edit, size_t first) {
        for (size_t slot = first; slot < edit.added.size(); ++slot) {
            const AddedLine &line = edit.added[slot];
            if (!visit(TextLine{line.text, line.eol, offset, slot, offset}))
                return false;
        }
        return true;
    };
    if (IsAdded(index)) {
        visitAdded(sectionBegins_[index], edits_.at(sectionBegins_[index]), 1);
        return;
    }
    std::string_view bytes = std::string_view(source_).substr(0, SectionEnd(index));
    size_t begin = HeaderLine(index).end;
    auto edit = edits_.lower_bound(begin);
    LineReader reader(bytes, begin);
    Line line;
    while (reader.Next(line)) {
        TextLine text{bytes.substr(line.begin, line.textEnd - line.begin),
                      bytes.substr(line.textEnd, line.end - line.textEnd), line.begin, kFromFile, line.end};
        while (edit != edits_.end() && edit->first < line.begin)
            ++edit;
        if (edit != edits_.end() && edit->first == line.begin) {
            if (!visitAdded(line.begin, edit->second, 0))
                return;
            if (edit->second.text)
                text.text = *edit->second.text;
            ++edit;
        }
        if (!visit(text))
            return;
    }
    // Lines added after the section's last line.
    if (edit != edits_.end() && edit->first == bytes.size())
        visitAdded(bytes.size(), edit->second, 0);
}

std::string_view ProfileText::Name(size_t index) const
{
    if (index == 0)
        return {};
    return ParseLine(HeaderLine(index).text).name;
}

std::optional<size_t> ProfileText::FindSection(std::string_view name) const
{
    // A scan of the name hashes: a large file has tens of thousands of
    // sections, and few share a hash with the name.
    std::string_view key = Trim(name);
    uint32_t hash = NameHash(key);
    std::optional<size_t> found;
    for (size_t i = 0; i < nameHashes_.size() && !found; ++i) {
        if (nameHashes_[i] == hash && EqualIgnoringAsciiCase(Name(i), key))
            found = i;
    }
    return found;
}

std::optional<std::string_view> ProfileText::Value(std::string_view section, std::string_view key) const
{
    std::optional<size_t> index = FindSection(section);
    if (!index)
        return std::nullopt;
    key = Trim(key);
    std::optional<std::string_view> value;
    bool found = false;
    ForEachBodyLine(*index, [&](const TextLine &line) {
        if (!MayHoldKey(line.text, key))
            return true;
        ParsedLine parsed = ParseLine(line.text);
        found = IsReadableKey(parsed) && EqualIgnoringAsciiCase(parsed.name, key);
        if (found && parsed.kind == LineKind::Entry)
            value = parsed.value;
        return !found;
    });
    return value;
}

void ProfileText::ForEachEntry(std::string_view section, const std::function<bool(const Entry &)> &visit) const
{
    std::optional<size_t> index = FindSection(section);
    if (!index)
        return;
    ForEachBodyLine(*index, [&](const TextLine &line) {
        ParsedLine parsed = ParseLine(line.text);
        // A line without "=" whose name a NUL byte cut to nothing is not listed.
        if (!IsReadableKey(parsed) || parsed.comment || (parsed.kind == LineKind::NameOnly && parsed.name.empty()))
            return true;
        Entry entry{parsed.name, std::nullopt};
        if (parsed.kind == LineKind::Entry)
            entry.value = parsed.value;
        return visit(entry);
    });
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
    if (name.substr(0, kByteOrderMark.size()) == kByteOrderMark ||
        StartsWithUtf16ByteOrderMark(name.data(), name.size()))
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
    KeyPlace place = FindKey(*index, key);
    if (place.line)
        return ReplaceValue(*place.line, value);
    InsertAfter(place.lastKey, std::string(key).append("=").append(value));
    return true;
}

// One walk finds both: a large section is read once.
ProfileText::KeyPlace ProfileText::FindKey(size_t index, std::string_view key) const
{
    // A new key goes after the section's last key, before the comments and
    // blank lines that end it.
    KeyPlace place{std::nullopt, HeaderLine(index)};
    ForEachBodyLine(index, [&](const TextLine &line) {
        if (!MayHoldKey(line.text, key)) {
            if (IsUncommentedKey(line.text))
                place.lastKey = line;
            return true;
        }
        ParsedLine parsed = ParseLine(line.text);
        if (!IsReadableKey(parsed))
            return true;
        if (EqualIgnoringAsciiCase(parsed.name, key)) {
            place.line = line;
            return false;
        }
        if (!parsed.comment)
            place.lastKey = line;
        return true;
    });
    return place;
}

bool ProfileText::ReplaceValue(const TextLine &line, std::string_view value)
{
    ParsedLine parsed = ParseLine(line.text);
    std::string replacement;
    if (parsed.kind == LineKind::Entry)
        replacement.append(line.text.substr(0, parsed.valueOffset));
    else
        replacement.append(TrimRight(line.text)).append("=");
    replacement.append(value);
    if (replacement == line.text)
        return false;
    Edit &edit = edits_[line.offset];
    if (line.slot != kFromFile) {
        edit.added[line.slot].text = std::move(replacement);
    } else {
        edit.text = std::move(replacement);
        edit.textEnd = line.end - line.eol.size();
    }
    return true;
}

void ProfileText::InsertAfter(const TextLine &line, std::string text)
{
    size_t offset = line.slot == kFromFile ? line.end : line.offset;
    Edit &edit = edits_[offset];
    size_t slot = line.slot == kFromFile ? 0 : line.slot + 1;
    // The file's line ending, unless it is a lone CR followed by the LF of a
    // blank line: one CRLF would take the place of two line breaks. The line
    // before then ends with an LF, and so does the new one.
    std::string eol = eol_;
    if (eol_ == "\r" && slot == edit.added.size() && offset < source_.size() && source_[offset] == '\n' &&
        !line.eol.empty())
        eol = line.eol;
    edit.added.insert(edit.added.begin() + static_cast<std::ptrdiff_t>(slot), AddedLine{std::move(text), eol});
}

void ProfileText::AddSection(std::string_view name, std::string_view key, std::string_view value)
{
    size_t added = sectionBegins_.size();
    size_t offset = source_.size() + 1 + (added - fileSections_);
    sectionBegins_.push_back(offset);
    nameHashes_.push_back(NameHash(name));
    Edit &edit = edits_[offset];
    edit.added.push_back(AddedLine{std::string("[").append(name).append("]"), eol_});
    edit.added.push_back(AddedLine{std::string(key).append("=").append(value), eol_});
}

// Whether the file's last line has no line break, which it needs before
// anything added after it.
bool ProfileText::EndsOpen() const
{
    return source_.size() > bodyBegin_ && source_.back() != '\n' && source_.back() != '\r';
}

std::vector<std::string_view> ProfileText::Pieces() const
{
    // The original bytes between edits go out as they are.
    std::vector<std::string_view> pieces;
    std::string_view all(source_);
    size_t copied = 0;
    bool closed = !EndsOpen();
    for (const auto &[offset, edit] : edits_) {
        size_t upTo = std::min(offset, all.size());
        if (upTo > copied)
            pieces.push_back(all.substr(copied, upTo - copied));
        copied = std::max(copied, upTo);
        if (!edit.added.empty() && offset >= all.size() && !closed) {
            pieces.push_back(eol_);
            closed = true;
        }
        for (const AddedLine &line : edit.added) {
            pieces.push_back(line.text);
            pieces.push_back(line.eol);
        }
        if (edit.text) {
            pieces.push_back(*edit.text);
            copied = edit.textEnd;
        }
    }
    if (all.size() > copied)
        pieces.push_back(all.substr(copied));
    return pieces;
}

}  // namespace emsgraft

#include "platform/posix/profile_text.h"

#include <string.h>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cstddef>

#include "platform/profile_rules.h"

namespace emsgraft {
namespace {

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

bool EqualIgnoringAsciiCase(std::string_view a, std::string_view b)
{
    return SameProfileName(a.data(), a.size(), b.data(), b.size());
}

// Eight bytes at once with their ASCII capitals in lower case: a byte below
// 0x80 whose low seven bits lie in ['A', 'Z'] gains 0x20. The sums never
// carry from one byte into the next.
uint64_t LowerAsciiWord(uint64_t word)
{
    const uint64_t kHigh = 0x8080808080808080ull, kLow = 0x7F7F7F7F7F7F7F7Full;
    uint64_t low = word & kLow;
    uint64_t fromA = low + 0x3F3F3F3F3F3F3F3Full;  // high bit set from 'A' on
    uint64_t pastZ = low + 0x2525252525252525ull;  // high bit set past 'Z'
    return word | ((fromA & ~pastZ & ~word & kHigh) >> 2);
}

// Sixteen bits of a hash of the name's lower-case form, eight bytes a step:
// a file may hold millions of names.
uint16_t Fingerprint(std::string_view name)
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
size_t FindFingerprint(const uint16_t *fingerprints, size_t from, size_t count, uint16_t wanted)
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
Line LineAt(std::string_view bytes, size_t begin)
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

ParsedLine ParseLine(std::string_view text)
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
bool IsKey(const ParsedLine &line) { return line.kind == PROFILE_LINE_ENTRY || line.kind == PROFILE_LINE_NAME_ONLY; }

// A line that a key can be read from by its name: a key or a comment.
bool IsReadableKey(const ParsedLine &line) { return IsKey(line) || line.kind == PROFILE_LINE_COMMENT; }

}  // namespace

FileBytes Utf16ToUtf8(std::string_view bytes)
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
    FileBytes decoded(text.size());
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

using profile_shortcuts::IsKeyLine;
using profile_shortcuts::MayHoldKey;
using profile_shortcuts::NextHeader;

ProfileText::ProfileText(FileBytes bytes) : bytes_(std::move(bytes)), source_(bytes_.View())
{
    std::string_view all(source_);
    bodyBegin_ = ProfileTextStart(all.data(), all.size());

    // The first line may be the whole file: found with memchr, not byte by byte.
    Line first;
    LineReader(all, bodyBegin_).Next(first);
    eol_ = first.end > first.textEnd ? all.substr(first.textEnd, first.end - first.textEnd) : "\r\n";

    // Room for as many sections as the file could hold, a header being at
    // least three bytes, on huge pages where that is large: growing the index
    // step by step would copy it, and for a while need both copies, and
    // faulting it in 4 KiB at a time costs more than finding the headers.
    // Pages never used cost nothing.
    size_t most = (all.size() - bodyBegin_) / 3 + 2;
    fingerprintStore_ = FileBytes(most * sizeof(uint16_t));
    fingerprints_ = reinterpret_cast<uint16_t *>(fingerprintStore_.Data());
    checkpoints_.reserve(most / kCheckpointEvery + 1);
    fingerprints_[fileSections_++] = Fingerprint("");
    checkpoints_.push_back(bodyBegin_);
    for (size_t from = bodyBegin_;;) {
        std::optional<profile_shortcuts::Header> header = NextHeader(all, from);
        if (!header)
            break;
        if (fileSections_ % kCheckpointEvery == 0)
            checkpoints_.push_back(header->begin);
        fingerprints_[fileSections_++] = Fingerprint(header->name);
        from = header->end;
    }
}

// Moves `walk` to the file's section `index`, from the nearest checkpoint
// or from where it stands, whichever is nearer.
void ProfileText::WalkTo(size_t index, Walk &walk) const
{
    std::string_view all(source_);
    size_t checkpoint = index / kCheckpointEvery * kCheckpointEvery;
    if (walk.index == kFromFile || walk.index > index || walk.index < checkpoint) {
        walk.index = checkpoint;
        walk.begin = walk.headerEnd = checkpoints_[index / kCheckpointEvery];
        walk.name = {};
        if (checkpoint != 0) {
            Line line = LineAt(all, walk.begin);
            walk.headerEnd = line.end;
            walk.name = ParseLine(all.substr(line.begin, line.textEnd - line.begin)).name;
        }
    }
    while (walk.index < index) {
        std::optional<profile_shortcuts::Header> header = NextHeader(all, walk.headerEnd);
        walk.index++;
        walk.begin = header->begin;
        walk.headerEnd = header->end;
        walk.name = header->name;
    }
}

std::optional<ProfileText::Section> ProfileText::FindSection(std::string_view name) const
{
    std::string_view key = Trim(name);
    for (const auto &[looked, found] : lookedUp_)
        if (EqualIgnoringAsciiCase(looked, key))
            return found;
    std::optional<Section> found = SearchSection(key);
    if (lookedUp_.size() == 16)
        lookedUp_.erase(lookedUp_.begin());
    lookedUp_.emplace_back(std::string(key), found);
    return found;
}

// The first section of the name: of the file, else added.
std::optional<ProfileText::Section> ProfileText::SearchSection(std::string_view key) const
{
    uint16_t wanted = Fingerprint(key);
    Walk walk;
    for (size_t i = 0;; ++i) {
        i = FindFingerprint(fingerprints_, i, fileSections_, wanted);
        if (i == fileSections_)
            break;
        WalkTo(i, walk);
        if (EqualIgnoringAsciiCase(walk.name, key)) {
            std::optional<profile_shortcuts::Header> next = NextHeader(source_, walk.headerEnd);
            return Section{false, walk.begin, walk.headerEnd, next ? next->begin : source_.size()};
        }
    }
    for (size_t k = 0; k < addedNames_.size(); ++k) {
        if (EqualIgnoringAsciiCase(addedNames_[k], key)) {
            size_t offset = source_.size() + 1 + k;
            return Section{true, offset, offset, offset};
        }
    }
    return std::nullopt;
}

// The header of a section; for the lines before the first header, an empty
// line just before them.
ProfileText::TextLine ProfileText::HeaderLine(const Section &section) const
{
    if (section.added) {
        const AddedLine &header = edits_.at(section.begin).added.front();
        return TextLine{header.text, header.eol, section.begin, 0, section.begin};
    }
    if (section.headerEnd == section.begin)
        return TextLine{{}, {}, section.begin, kFromFile, section.begin};
    // Edits never touch a header line, so it is read where it stands.
    std::string_view all(source_);
    Line line = LineAt(all.substr(0, section.end), section.begin);
    return TextLine{all.substr(line.begin, line.textEnd - line.begin), all.substr(line.textEnd, line.end - line.textEnd),
                    line.begin, kFromFile, line.end};
}

// Calls `visit(line)` for each line of the section after its header, edits
// applied, until `visit` returns false.
template <typename Visit>
void ProfileText::ForEachBodyLine(const Section &section, Visit visit) const
{
    auto visitAdded = [&](size_t offset, const Edit &edit, size_t first) {
        for (size_t slot = first; slot < edit.added.size(); ++slot) {
            const AddedLine &line = edit.added[slot];
            if (!visit(TextLine{line.text, line.eol, offset, slot, offset}))
                return false;
        }
        return true;
    };
    if (section.added) {
        visitAdded(section.begin, edits_.at(section.begin), 1);
        return;
    }
    std::string_view bytes = std::string_view(source_).substr(0, section.end);
    size_t begin = section.headerEnd;
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

std::optional<std::string_view> ProfileText::Value(std::string_view sectionName, std::string_view key) const
{
    std::optional<Section> section = FindSection(sectionName);
    if (!section)
        return std::nullopt;
    KeyPlace place = FindKey(*section, Trim(key));
    if (!place.line)
        return std::nullopt;
    ParsedLine parsed = ParseLine(place.line->text);
    return parsed.hasValue ? std::optional<std::string_view>(parsed.value) : std::nullopt;
}

void ProfileText::ForEachEntry(std::string_view sectionName, const std::function<bool(const Entry &)> &visit) const
{
    std::optional<Section> section = FindSection(sectionName);
    if (!section)
        return;
    ForEachBodyLine(*section, [&](const TextLine &line) {
        ParsedLine parsed = ParseLine(line.text);
        // A line without "=" whose name a NUL byte cut to nothing is not listed.
        if (!IsKey(parsed) || (!parsed.hasValue && parsed.name.empty()))
            return true;
        Entry entry{parsed.name, std::nullopt};
        if (parsed.hasValue)
            entry.value = parsed.value;
        return visit(entry);
    });
}

bool ProfileText::CanWrite(std::string_view section, std::string_view key, std::string_view value)
{
    auto hasLineBreak = [](std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; };
    if (hasLineBreak(section) || hasLineBreak(key) || hasLineBreak(value))
        return false;
    // As the first line of a file, a key that starts with a byte-order mark
    // would make the file read as UTF-16, or lose the mark from its name.
    std::string_view name = Trim(key);
    if (ProfileTextStart(name.data(), name.size()) != 0 || StartsWithUtf16ByteOrderMark(name.data(), name.size()))
        return false;
    // The line written must read as a key named by all of `name`: not as a
    // header ("[k=v]"), nor cut short by an "=" in the name.
    std::string line = std::string(name).append("=").append(value);
    ParsedLine parsed = ParseLine(line);
    return !name.empty() && IsReadableKey(parsed) && parsed.name.size() == name.size();
}

bool ProfileText::SetValue(std::string_view sectionName, std::string_view key, std::string_view value)
{
    sectionName = Trim(sectionName);
    key = Trim(key);
    std::optional<Section> section = FindSection(sectionName);
    if (!section) {
        AddSection(sectionName, key, value);
        return true;
    }
    KeyPlace place = FindKey(*section, key);
    if (place.line)
        return ReplaceValue(*place.line, value);
    InsertAfter(place.lastKey, std::string(key).append("=").append(value));
    return true;
}

// One walk finds both: a large section is read once.
ProfileText::KeyPlace ProfileText::FindKey(const Section &section, std::string_view key) const
{
    // The lines before the first header and a header on the first line
    // start at the same offset: the header's end tells them apart.
    if (lastSearch_ && lastSearch_->begin == section.begin && lastSearch_->headerEnd == section.headerEnd &&
        lastSearch_->key == key)
        return lastSearch_->place;
    // A new key goes after the section's last key, before the comments and
    // blank lines that end it.
    KeyPlace place{std::nullopt, HeaderLine(section)};
    ForEachBodyLine(section, [&](const TextLine &line) {
        if (!MayHoldKey(line.text, key)) {
            if (IsKeyLine(line.text))
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
        if (IsKey(parsed))
            place.lastKey = line;
        return true;
    });
    lastSearch_ = KeySearch{section.begin, section.headerEnd, std::string(key), place};
    return place;
}

bool ProfileText::ReplaceValue(const TextLine &line, std::string_view value)
{
    ParsedLine parsed = ParseLine(line.text);
    std::string replacement;
    if (parsed.hasValue)
        replacement.append(line.text.substr(0, parsed.valueOffset));
    else
        replacement.append(TrimRight(line.text)).append("=");
    replacement.append(value);
    if (replacement == line.text)
        return false;
    lastSearch_.reset();
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
    lastSearch_.reset();
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
    lastSearch_.reset();
    size_t offset = source_.size() + 1 + addedNames_.size();
    addedNames_.emplace_back(name);
    Section section{true, offset, offset, offset};
    for (auto &[looked, found] : lookedUp_)
        if (EqualIgnoringAsciiCase(looked, name))
            found = section;
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

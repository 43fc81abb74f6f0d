// Reading and editing a profile text: values, listings and the edits that
// leave every other byte as it was.
#include "platform/posix/profile_text.h"

#include <algorithm>
#include <cstddef>

namespace emsgraft {

using profile_shortcuts::IsKeyLine;
using profile_shortcuts::MayHoldKey;

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

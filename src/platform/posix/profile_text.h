// The text of a profile file held in memory: read the way the Win32 profile
// functions read a file, edited without touching any byte that an edit does
// not replace.
#ifndef EMSGRAFT_PLATFORM_POSIX_PROFILE_TEXT_H
#define EMSGRAFT_PLATFORM_POSIX_PROFILE_TEXT_H

#include <stdint.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/owned.h"
#include "platform/posix/profile_scan.h"

namespace emsgraft {

class ProfileText {
public:
    explicit ProfileText(ByteBuffer bytes);

    // The value of `key` in `section`: trimmed, cut at a NUL byte, quotes
    // kept. Nothing when the section or the key is absent, or when the key's
    // first line holds only its name.
    std::optional<std::string_view> Value(std::string_view section, std::string_view key) const;

    // A line of a section as the Win32 functions list the section's lines:
    // "name=value", or a line holding only a name (no value).
    struct Entry {
        std::string_view name;
        std::optional<std::string_view> value;
    };
    // Calls `visit` for each listed line of the section in file order, until
    // it returns false: every line but blank lines, comments, the header and
    // a line without "=" whose name is empty.
    // Nothing is collected, so a section of millions of lines costs no memory.
    void ForEachEntry(std::string_view section, const std::function<bool(const Entry &)> &visit) const;

    // Whether `key`=`value` written into `section` reads back as written: no
    // line breaks, a key with a name and without "=" that does not start with
    // a byte-order mark, and no line that would read as a section header.
    static bool CanWrite(std::string_view section, std::string_view key, std::string_view value);

    // Sets `key` to `value` in `section`, adding what is missing; only for
    // what CanWrite allows. Returns whether the text changed.
    bool SetValue(std::string_view section, std::string_view key, std::string_view value);

    // The whole text as consecutive byte ranges.
    std::vector<std::string_view> Pieces() const;

    // The text as it was read, before any edit.
    std::string_view Source() const { return source_; }

private:
    // A section: of the file, from its header line (none for the lines
    // before the first header) up to the next header; or added, its lines
    // all in edits_ at `begin`, past the end of source_.
    struct Section {
        bool added = false;
        size_t begin = 0;
        size_t headerEnd = 0;  // after the header line; `begin` when there is none
        size_t end = 0;
    };
    // A line of the edited text. A line of the file has slot kFromFile and
    // lies at [offset, end) of source_, its text perhaps replaced; an added
    // line is the slot-th of those added before `offset`.
    struct TextLine {
        std::string_view text;  // without the line break
        std::string_view eol;   // empty for a last line without one
        size_t offset = 0;
        size_t slot = 0;
        size_t end = 0;
    };
    static constexpr size_t kFromFile = static_cast<size_t>(-1);
    struct AddedLine {
        std::string text;
        std::string eol;
    };
    // The edits at one offset of source_: lines added before the file's line
    // there, and a new text for that line (its line break stays).
    struct Edit {
        std::vector<AddedLine> added;
        std::optional<std::string> text;
        size_t textEnd = 0;  // of the replaced text in source_
    };
    // A file section's header found by walking from a checkpoint.
    struct Walk {
        size_t index = kFromFile;
        size_t begin = 0, headerEnd = 0;
        std::string_view name;
    };

    std::optional<Section> FindSection(std::string_view name) const;
    std::optional<Section> SearchSection(std::string_view name) const;
    void WalkTo(size_t index, Walk &walk) const;
    TextLine HeaderLine(const Section &section) const;
    template <typename Visit>
    void ForEachBodyLine(const Section &section, Visit visit) const;
    void AddSection(std::string_view name, std::string_view key, std::string_view value);
    // The line of a key in a section, if it has one, and the line after
    // which a new key goes.
    struct KeyPlace {
        std::optional<TextLine> line;
        TextLine lastKey;
    };
    KeyPlace FindKey(const Section &section, std::string_view key) const;
    // The last key looked for and where: a run reads a key, then writes it,
    // and a section may hold millions of lines. Any edit drops it.
    struct KeySearch {
        size_t begin, headerEnd;  // of the section
        std::string key;
        KeyPlace place;
    };
    mutable std::optional<KeySearch> lastSearch_;
    // Gives the key's line the value; returns whether its text changed.
    bool ReplaceValue(const TextLine &line, std::string_view value);
    void InsertAfter(const TextLine &line, std::string text);
    bool EndsOpen() const;

    ByteBuffer bytes_;
    std::string_view source_;  // all of bytes_
    std::string eol_;      // used for every new line
    size_t bodyBegin_ = 0;  // after a byte-order mark
    // The file's sections by index, [0] being the lines before the first
    // header: two bytes each, as a file may hold millions of them. A lookup
    // walks the fingerprints of the names and reads the headers of those that
    // match, walking from the nearest checkpoint.
    ByteBuffer fingerprintStore_;        // memory on huge pages, as for the file's bytes
    uint16_t *fingerprints_ = nullptr;  // in fingerprintStore_; stays put when it moves
    size_t fileSections_ = 0;
    std::vector<size_t> checkpoints_;   // where every kCheckpointEvery-th section starts
    static constexpr size_t kCheckpointEvery = 256;
    // Sections added, in order; the k-th lies at source_.size() + 1 + k.
    std::vector<std::string> addedNames_;
    // The names looked up and what was found: a run asks for a few names,
    // many times over.
    mutable std::vector<std::pair<std::string, std::optional<Section>>> lookedUp_;
    // Edits by offset: small pieces, never copies of the file's sections. An
    // added section's lines, its header first, are added before its own
    // offset past the end of source_, so they come out in the order added.
    std::map<size_t, Edit> edits_;
};


}  // namespace emsgraft

#endif

// The text of a profile file held in memory: read the way the Win32 profile
// functions read a file, edited without touching any byte that an edit does
// not replace.
#ifndef EMSGRAFT_PLATFORM_POSIX_PROFILE_TEXT_H
#define EMSGRAFT_PLATFORM_POSIX_PROFILE_TEXT_H

#include <stdint.h>

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace emsgraft {

class ProfileText {
public:
    explicit ProfileText(std::string bytes);

    // The value of `key` in `section`: trimmed, cut at a NUL byte, quotes
    // kept. Nothing when the section or the key is absent, or when the key's
    // first line holds only its name.
    std::optional<std::string_view> Value(std::string_view section, std::string_view key) const;

    // The names of the section's keys in file order, duplicates and empty
    // names included; comments and lines without "=" are not keys.
    std::vector<std::string_view> KeyNames(std::string_view section) const;

    // Whether `key`=`value` written into `section` reads back as written: no
    // line breaks, a key with a name and without "=" that does not start with
    // a byte-order mark, and no line that would read as a section header.
    static bool CanWrite(std::string_view section, std::string_view key, std::string_view value);

    // Sets `key` to `value` in `section`, adding what is missing; only for
    // what CanWrite allows. Returns whether the text changed.
    bool SetValue(std::string_view section, std::string_view key, std::string_view value);

    // The whole text as consecutive byte ranges.
    std::vector<std::string_view> Pieces() const;

private:
    size_t SectionEnd(size_t index) const;
    std::string_view Bytes(size_t index) const;
    std::string_view Name(size_t index) const;
    std::optional<size_t> FindSection(std::string_view name) const;
    void AddSection(std::string_view name, std::string_view key, std::string_view value);
    void Replace(size_t index, size_t begin, size_t end, std::string_view text);

    std::string source_;
    std::string eol_;      // used for every new line
    size_t bodyBegin_ = 0;  // after a byte-order mark
    // Sections by index, [0] being the lines before the first header; those
    // of the file in file order, then those added. The index is kept small,
    // as a large file has many sections.
    std::vector<size_t> sectionBegins_;   // offsets in source_; source_.size() for added ones
    std::vector<uint32_t> nameHashes_;    // of each section's name, scanned by FindSection
    std::map<size_t, std::string> edits_;  // index -> the section's text once edited or added
    // Lower-case name -> first section of that name, or none; filled on demand.
    mutable std::unordered_map<std::string, std::optional<size_t>> lookups_;
};

}  // namespace emsgraft

#endif

// The text of a profile file held in memory: read the way the Win32 profile
// functions read a file, edited without touching any byte that an edit does
// not replace.
#ifndef EMSGRAFT_PLATFORM_POSIX_PROFILE_TEXT_H
#define EMSGRAFT_PLATFORM_POSIX_PROFILE_TEXT_H

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
    struct Section {
        size_t begin = 0, end = 0;  // range in source_ while not edited
        bool edited = false;
        std::string bytes;          // the section's text once edited
    };

    std::string_view Bytes(const Section &section) const;
    std::optional<size_t> FindSection(std::string_view name) const;
    void AddSection(std::string_view name, std::string_view key, std::string_view value);
    void Replace(Section &section, size_t begin, size_t end, std::string_view text);

    std::string source_;
    std::string eol_;                                     // used for every new line
    size_t bodyBegin_ = 0;                                // after a byte-order mark
    std::vector<Section> sections_;                       // [0]: lines before the first header
    std::unordered_map<std::string, size_t> firstSection_;  // lower-case name -> first section
};

}  // namespace emsgraft

#endif

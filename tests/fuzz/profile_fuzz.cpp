// libFuzzer target for the POSIX profile layer: arbitrary file bytes and an
// arbitrary series of reads, writes and flushes through the Win32 profile
// functions on a real file, each result checked against a model of the file
// that this target keeps itself: the file as it was last flushed, read by
// the rules below, with the writes since then applied.
//
// Input: operation lines, then a line "====", then the bytes of the file.
// Without a "====" line the whole input is the file and a fixed series runs.
//   r S|K      read key K of section S       l S     list the keys of S
//   w S|K|V    write K=V into S              f       flush the writes
//   a          abandon the writes            b N     read buffers of N bytes
//   n          list with a null section            (0: ample again)
//   d D        reads give the default D      d       the default is NULL
// In S, K, V and D a backslash takes the next byte as it is, except that \n,
// \r, \t, \v and \f stand for those control characters and \xHH for any
// byte. A whole field "$N" is the N-th name found in the file (any bracketed
// text, the text before "=", or a whole line), "^N" the same with the case of
// its ASCII letters swapped, "~N" the same padded with blanks.
//
// Reading rules of the model: lines end with CRLF, LF or a lone CR; a
// leading UTF-8 byte-order mark is skipped; a line that starts with "[" and
// holds a "]" is a header, named by the text up to the last "]"; names and
// values are trimmed of blanks and end at a NUL byte. The lines before the
// first header form the section "", and of several sections with the same
// name only the first is read. In a section the first line that bears the
// key's name decides: a value, or missing when the line holds no "=". A key
// list holds the names of the lines with "=" that are not comments (";"),
// empty names too; the section's name is matched untrimmed there.
// As the Win32 functions copy them, a value or default in a pair of double
// or single quotes loses them (and a buffer one byte short of the quoted
// text loses its last byte too), the default of a key read loses its trailing
// spaces, and a key list fits only with a byte to spare; a list that shows no
// name gives the default.
//
// Invariants (any breach aborts): every read, cut to any buffer, gives what
// the model gives; a write is refused exactly when its line could not be read
// back; a written key reads back its value; keys and sections not written
// read as before; a key list never holds comments, never starts with an
// empty name, always holds the keys written and ends with two NULs inside
// its buffer; a flush leaves the lines not written byte for byte as they
// were, adds only the lines written, and leaves no other file beside the
// file; the flushed file reads, by the model's rules and by the layer's own
// reader, as the model did before it. On every line of the file and of each
// flushed file, the layer's shortcuts (its scan for headers, its tests of
// whether a line is a key and may bear a given one) agree with its own line
// classifier.
#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/profile_text.h"
#include "platform/profile.h"
#include "platform/profile_rules.h"

namespace {

using emsgraft::ProfileText;

// The directory of the input that runs: a breach ends the process at once,
// and its files would stay in the shared memory file system.
std::string sessionDirectory;

[[noreturn]] void Fail(const std::string &what)
{
    fprintf(stderr, "invariant broken: %s\n", what.c_str());
    if (!sessionDirectory.empty()) {
        unlink((sessionDirectory + "/mapisvc.inf").c_str());
        rmdir(sessionDirectory.c_str());
    }
    abort();
}

// The message is only built for a breach: building it costs more than most checks.
#define CHECK(ok, what)   \
    do {                  \
        if (!(ok))        \
            Fail(what);   \
    } while (0)

// Shows bytes with escapes, for the messages.
std::string Escaped(std::string_view bytes)
{
    std::string out = "\"";
    for (unsigned char c : bytes) {
        char hex[8];
        if (c == '"' || c == '\\' || c < 0x20 || c >= 0x7f) {
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string Escaped(const std::vector<std::string> &names)
{
    std::string out = "{";
    for (const std::string &name : names)
        out += (out.size() > 1 ? ", " : "") + Escaped(name);
    return out + "}";
}

// ---- How a reader of profile files sees names and values ----------------

// What the Win32 functions trim, as the read test pins it: C white space within a line, and Ctrl-Z.
bool IsBlank(char c) { return (isspace(static_cast<unsigned char>(c)) && c != '\n' && c != '\r') || c == '\x1a'; }

std::string_view TrimLeft(std::string_view s)
{
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    return s;
}

std::string_view TrimRight(std::string_view s)
{
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

std::string_view Trim(std::string_view s) { return TrimRight(TrimLeft(s)); }

std::string_view CutAtNul(std::string_view s) { return s.substr(0, s.find('\0')); }

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualIgnoringCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return Lower(x) == Lower(y); });
}

// Two names as given to the functions, which trim them.
bool Same(std::string_view a, std::string_view b) { return EqualIgnoringCase(Trim(a), Trim(b)); }

// A name found in the file (already trimmed, so a blank kept before a NUL
// stays) against a name given to the functions.
bool Matches(std::string_view found, std::string_view given) { return EqualIgnoringCase(found, Trim(given)); }

bool HasLineBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

// Whether key=value written into a section can be read back: no line
// breaks, a key with a name and without "=", and no line that reads as a
// section header. A key that starts with a byte-order mark is refused too,
// wherever it would go: as the file's first line it would change how the
// whole file reads.
bool Writable(std::string_view section, std::string_view key, std::string_view value)
{
    if (HasLineBreak(section) || HasLineBreak(key) || HasLineBreak(value))
        return false;
    std::string_view name = Trim(key);
    if (name.empty() || name.find('=') != std::string_view::npos)
        return false;
    if (name.rfind("\xEF\xBB\xBF", 0) == 0 || name.rfind("\xFF\xFE", 0) == 0 || name.rfind("\xFE\xFF", 0) == 0)
        return false;
    bool headerShaped = name.front() == '[' && (name.find(']') != std::string_view::npos ||
                                                value.find(']') != std::string_view::npos);
    return !headerShaped;
}

// What a read of `text` (a value or default) gives in a buffer of `size`
// bytes. In a pair of double or single quotes it loses them; the Win32
// functions copy from after the opening quote and then drop the last byte
// copied, so a buffer just one byte short of the quoted text loses the
// text's own last byte too.
std::string Copied(std::string_view text, size_t size)
{
    size_t room = size - 1;
    bool quoted = text.size() >= 2 && (text.front() == '"' || text.front() == '\'') && text.back() == text.front();
    if (!quoted)
        return std::string(text.substr(0, room));
    std::string_view inner = text.substr(1, text.size() - 2);
    if (room > inner.size())
        return std::string(inner);
    if (room == inner.size() && room > 0)
        return std::string(inner.substr(0, room - 1));
    return std::string(inner.substr(0, room));
}

// The default of a key read: without trailing spaces (other blanks stay).
std::string KeyDefault(const std::optional<std::string> &fallback)
{
    std::string text = fallback.value_or("");
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

// What a key list gives in a buffer of `size` bytes: the names, each ended
// by a NUL, when they fit with a byte to spare; else cut to size - 2 bytes
// (and two NULs). A list that shows no name (none, an empty first name, or
// cut to nothing) gives the default, which keeps its spaces here.
std::string ListCopied(const std::vector<std::string> &names, const std::optional<std::string> &fallback,
                       size_t size)
{
    std::string list;
    for (const std::string &name : names)
        list.append(name).push_back('\0');
    if (list.empty() || list[0] == '\0' || size <= 2)
        return Copied(fallback.value_or(""), size);
    if (list.size() + 2 <= size)
        return list;
    return list.substr(0, size - 2);
}

struct LineBytes {
    std::string_view text, eol;
};

// Lines end with CRLF, LF or a lone CR.
std::vector<LineBytes> SplitLines(std::string_view bytes)
{
    std::vector<LineBytes> lines;
    size_t pos = 0;
    while (pos < bytes.size()) {
        size_t end = bytes.find_first_of("\r\n", pos);
        if (end == std::string_view::npos) {
            lines.push_back({bytes.substr(pos), {}});
            break;
        }
        size_t eolLength = bytes[end] == '\r' && end + 1 < bytes.size() && bytes[end + 1] == '\n' ? 2 : 1;
        lines.push_back({bytes.substr(pos, end - pos), bytes.substr(end, eolLength)});
        pos = end + eolLength;
    }
    return lines;
}

bool IsHeaderLine(std::string_view text)
{
    std::string_view rest = TrimLeft(text);
    return !rest.empty() && rest.front() == '[' && rest.find(']') != std::string_view::npos;
}

// The key name of a line that is not a header: up to the first "=", trimmed,
// ended by a NUL byte.
std::string_view KeyOfLine(std::string_view text) { return CutAtNul(Trim(text.substr(0, text.find('=')))); }

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

bool IsUtf16(std::string_view bytes)
{
    return bytes.size() >= 2 && ((bytes[0] == '\xFF' && bytes[1] == '\xFE') || (bytes[0] == '\xFE' && bytes[1] == '\xFF'));
}

// A UTF-16 text in UTF-8, as the layer reads it: what is no character
// (a lone surrogate) becomes U+FFFD, an odd last byte is dropped.
std::string FromUtf16(std::string_view bytes)
{
    std::u16string units;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
        unsigned char a = static_cast<unsigned char>(bytes[i]), b = static_cast<unsigned char>(bytes[i + 1]);
        units += static_cast<char16_t>(bytes[0] == '\xFE' ? a << 8 | b : b << 8 | a);
    }
    std::string text;
    auto put = [&](char32_t c) {
        if (c < 0x80) {
            text += static_cast<char>(c);
        } else if (c < 0x800) {
            text += static_cast<char>(0xC0 | c >> 6);
            text += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            text += static_cast<char>(0xE0 | c >> 12);
            text += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            text += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            text += static_cast<char>(0xF0 | c >> 18);
            text += static_cast<char>(0x80 | (c >> 12 & 0x3F));
            text += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            text += static_cast<char>(0x80 | (c & 0x3F));
        }
    };
    for (size_t i = 0; i < units.size(); ++i) {
        char32_t c = units[i];
        bool high = c >= 0xD800 && c < 0xDC00, low = c >= 0xDC00 && c < 0xE000;
        if (high && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] < 0xE000)
            put(0x10000 + ((c - 0xD800) << 10) + (units[++i] - 0xDC00));
        else
            put(high || low ? 0xFFFD : c);
    }
    return text;
}

// ---- The model: what the file holds for a reader ---------------------------

// A line of a section that bears a name: "name=value", or "name" alone.
struct Entry {
    std::string name;
    std::optional<std::string> value;  // none for a line without "="
    bool comment = false;
};

struct Section {
    std::string name;
    std::vector<Entry> entries;
};

class Model {
public:
    // The model of a file's bytes; a UTF-16 file's, decoded.
    static std::optional<Model> Of(std::string_view bytes)
    {
        if (IsUtf16(bytes))
            return Of(FromUtf16(bytes));
        if (bytes.substr(0, kByteOrderMark.size()) == kByteOrderMark)
            bytes.remove_prefix(kByteOrderMark.size());
        Model model;
        model.sections_.push_back({"", {}});
        for (LineBytes line : SplitLines(bytes)) {
            std::string_view text = TrimLeft(line.text);
            if (TrimRight(text).empty())
                continue;
            if (IsHeaderLine(text)) {
                size_t close = text.rfind(']');
                model.sections_.push_back({std::string(CutAtNul(Trim(text.substr(1, close - 1)))), {}});
                continue;
            }
            size_t equals = text.find('=');
            Entry entry;
            entry.name = CutAtNul(TrimRight(text.substr(0, equals)));
            if (equals != std::string_view::npos)
                entry.value = std::string(CutAtNul(Trim(text.substr(equals + 1))));
            entry.comment = text.front() == ';';
            model.sections_.back().entries.push_back(std::move(entry));
        }
        return model;
    }

    // The key's value, quotes kept; none when missing.
    std::optional<std::string> Value(std::string_view section, std::string_view key) const
    {
        std::optional<size_t> index = SectionIndex(section);
        if (!index)
            return std::nullopt;
        std::optional<size_t> entry = EntryIndex(sections_[*index], key);
        return entry ? sections_[*index].entries[*entry].value : std::nullopt;
    }

    // The names that a key list holds; the section found with its name trimmed.
    std::vector<std::string> KeyNames(std::string_view section) const
    {
        std::vector<std::string> names;
        if (std::optional<size_t> index = SectionIndex(section))
            for (const Entry &entry : sections_[*index].entries)
                if (entry.value && !entry.comment)
                    names.push_back(entry.name);
        return names;
    }

    // A write: the first line of the key's name takes the value (and an
    // "="), or the key is added at the end of the section, or the section
    // at the end of the file.
    void Set(std::string_view section, std::string_view key, std::string_view value)
    {
        std::optional<size_t> index = SectionIndex(section);
        if (!index) {
            sections_.push_back({std::string(Trim(section)), {}});
            index = sections_.size() - 1;
        }
        Section &found = sections_[*index];
        if (std::optional<size_t> entry = EntryIndex(found, key)) {
            found.entries[*entry].value = std::string(Trim(value));
            return;
        }
        std::string_view name = Trim(key);
        found.entries.push_back({std::string(name), std::string(Trim(value)), name.front() == ';'});
    }

private:
    std::vector<Section> sections_;  // [0]: the lines before the first header

    std::optional<size_t> SectionIndex(std::string_view name) const
    {
        for (size_t i = 0; i < sections_.size(); ++i)
            if (Matches(sections_[i].name, name))
                return i;
        return std::nullopt;
    }

    static std::optional<size_t> EntryIndex(const Section &section, std::string_view key)
    {
        for (size_t i = 0; i < section.entries.size(); ++i)
            if (Matches(section.entries[i].name, key))
                return i;
        return std::nullopt;
    }
};

// ---- The file, the operations and what they must give --------------------

struct Written {
    std::string section, key, value;
};

std::string ReadFile(const std::string &path)
{
    std::string bytes;
    FILE *file = fopen(path.c_str(), "rb");
    if (file == nullptr)
        Fail("cannot read " + path);
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, file)) > 0)
        bytes.append(buffer, got);
    fclose(file);
    return bytes;
}

void WriteFile(const std::string &path, std::string_view bytes)
{
    FILE *file = fopen(path.c_str(), "wb");
    if (file == nullptr || fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() || fclose(file) != 0)
        Fail("cannot write " + path);
}

std::vector<std::string> DirectoryEntries(const std::string &path)
{
    std::vector<std::string> names;
    DIR *dir = opendir(path.c_str());
    if (dir == nullptr)
        Fail("cannot list " + path);
    while (struct dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(dir);
    return names;
}

// Names and values as a reader of the text finds them, before the rules of
// copying: the model, or the layer's own reader of a flushed file.
struct TextReader {
    const char *where;
    std::function<std::optional<std::string>(const std::string &, const std::string &)> value;
    std::function<std::vector<std::string>(const std::string &)> keyNames;
};

TextReader ReaderOf(const Model &model, const char *where)
{
    return {where, [&model](const std::string &s, const std::string &k) { return model.Value(s, k); },
            [&model](const std::string &s) { return model.KeyNames(s); }};
}

TextReader ReaderOf(const ProfileText &text, const char *where)
{
    return {where,
            [&text](const std::string &s, const std::string &k) -> std::optional<std::string> {
                std::optional<std::string_view> value = text.Value(s, k);
                return value ? std::optional<std::string>(*value) : std::nullopt;
            },
            [&text](const std::string &s) {
                std::vector<std::string> names;
                text.ForEachEntry(s, [&names](const ProfileText::Entry &entry) {
                    if (entry.value)
                        names.emplace_back(entry.name);
                    return true;
                });
                return names;
            }};
}

// The layer's shortcuts against its own line classifier, on every line of
// `bytes`: the scan for headers finds just the lines classified as headers,
// with their names, IsKeyLine picks the keys, and a line that MayHoldKey
// passes over bears none of `keys`.
void CheckShortcuts(std::string_view bytes, const std::vector<std::string> &keys)
{
    size_t begin = bytes.substr(0, kByteOrderMark.size()) == kByteOrderMark ? kByteOrderMark.size() : 0;
    std::vector<std::pair<size_t, std::string_view>> scanned, classified;
    for (size_t from = begin;;) {
        std::optional<emsgraft::profile_shortcuts::Header> header = emsgraft::profile_shortcuts::NextHeader(bytes, from);
        if (!header)
            break;
        scanned.emplace_back(header->begin, header->name);
        from = header->end;
    }
    for (LineBytes line : SplitLines(bytes.substr(begin))) {
        PROFILE_LINE kind = ClassifyProfileLine(line.text.data(), line.text.size());
        std::string_view name(kind.Name, kind.NameLength);
        if (kind.Kind == PROFILE_LINE_HEADER)
            classified.emplace_back(static_cast<size_t>(line.text.data() - bytes.data()), name);
        bool key = kind.Kind == PROFILE_LINE_ENTRY || kind.Kind == PROFILE_LINE_NAME_ONLY;
        CHECK(emsgraft::profile_shortcuts::IsKeyLine(line.text) == key,
              "IsKeyLine and the classifier disagree on " + Escaped(line.text));
        if (!key && kind.Kind != PROFILE_LINE_COMMENT)
            continue;
        for (const std::string &key : keys)
            CHECK(!Matches(name, key) || emsgraft::profile_shortcuts::MayHoldKey(line.text, Trim(key)),
                  "MayHoldKey passes over " + Escaped(line.text) + ", which bears " + Escaped(key));
    }
    CHECK(scanned == classified, "the header scan and the classifier disagree on " + Escaped(bytes));
}

const char kDefault[] = "\x7f" "default";

class Session {
public:
    // The file lives in a directory of its own, made for this input and gone
    // after it: libFuzzer may end the process without running exit handlers.
    Session(const std::string &base, std::string_view bytes, size_t ampleSize) : baseline_(bytes), ample_(ampleSize)
    {
        std::string pattern = base + "/emsgraft-fuzz-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr)
            Fail("mkdtemp failed");
        directory_ = sessionDirectory = pattern;
        path_ = directory_ + "/mapisvc.inf";
        WriteFile(path_, bytes);
        Rebase();
        CollectNames();
        CheckShortcuts(bytes, names_);
    }
    ~Session()
    {
        AbandonProfileUpdate(path_.c_str());  // the next input may get the same name
        unlink(path_.c_str());
        rmdir(directory_.c_str());
        sessionDirectory.clear();
    }

    void Run(std::string_view script)
    {
        int count = 0;
        for (size_t pos = 0; pos < script.size() && count < 64; ++count) {
            size_t end = script.find('\n', pos);
            if (end == std::string_view::npos)
                end = script.size();
            RunLine(script.substr(pos, end - pos));
            pos = end + 1;
        }
        CheckReads();
    }

private:
    std::string directory_, path_;
    std::string baseline_;                 // the file as last flushed
    std::optional<Model> model_;           // what it holds now; none when unreadable
    std::vector<Written> written_;         // accepted since the last flush
    std::vector<std::string> names_;       // names found in the file
    std::optional<std::string> default_ = std::string(kDefault);
    size_t ample_;
    size_t bufferSize_ = 0;                // 0: ample

    // From the file as it stands: an update of it read and begun (the
    // layer reads and writes the files of updates only).
    void Rebase()
    {
        written_.clear();
        model_ = Model::Of(baseline_);
        char profile[MAX_PATH], draft[MAX_PATH];
        if (LocateProfile(path_.c_str(), profile, sizeof profile) && ReadProfile(profile))
            BeginProfileUpdate(profile, draft, sizeof draft);
    }

    void CollectNames()
    {
        for (LineBytes line : SplitLines(baseline_)) {
            std::string_view text = line.text.substr(0, line.text.find('\0'));
            size_t open = text.find('['), close = text.rfind(']');
            if (open != std::string_view::npos && close != std::string_view::npos && close > open)
                names_.emplace_back(text.substr(open + 1, close - open - 1));
            names_.emplace_back(text.substr(0, text.find('=')));
            if (names_.size() >= 32)
                break;
        }
        if (names_.empty())
            names_.emplace_back("S");
    }

    std::string Field(std::string_view field) const
    {
        if (field.size() >= 2 && (field[0] == '$' || field[0] == '^' || field[0] == '~') &&
            field.find_first_not_of("0123456789", 1) == std::string_view::npos && field.size() <= 6) {
            std::string name = names_[static_cast<size_t>(atoi(std::string(field.substr(1)).c_str())) % names_.size()];
            if (field[0] == '^')
                for (char &c : name)
                    c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : Lower(c);
            if (field[0] == '~')
                name = " \t" + name + "\x1a ";
            return name;
        }
        std::string out;
        for (size_t i = 0; i < field.size(); ++i) {
            char c = field[i];
            if (c == '\\' && i + 1 < field.size()) {
                c = field[++i];
                if (c == 'x' && i + 2 < field.size() && isxdigit(field[i + 1]) && isxdigit(field[i + 2])) {
                    c = static_cast<char>(strtol(std::string(field.substr(i + 1, 2)).c_str(), nullptr, 16));
                    i += 2;
                } else {
                    const char *from = "nrtvf", *to = "\n\r\t\v\f";
                    const char *escape = c != '\0' ? strchr(from, c) : nullptr;
                    c = escape != nullptr ? to[escape - from] : c;
                }
            }
            out += c;
        }
        return out.substr(0, out.find('\0'));  // what a C string holds
    }

    // Splits at "|" not preceded by a backslash.
    std::vector<std::string> Fields(std::string_view text) const
    {
        std::vector<std::string> fields;
        size_t start = 0;
        for (size_t i = 0; i <= text.size(); ++i) {
            if (i + 1 < text.size() && text[i] == '\\') {
                ++i;
                continue;
            }
            if (i == text.size() || text[i] == '|') {
                fields.push_back(Field(text.substr(start, i - start)));
                start = i + 1;
            }
        }
        return fields;
    }

    void RunLine(std::string_view line)
    {
        if (line.empty())
            return;
        char op = line[0];
        std::string_view rest = line.size() > 2 ? line.substr(2) : std::string_view();
        std::vector<std::string> fields = Fields(rest);
        switch (op) {
        case 'r':
            if (fields.size() >= 2)
                CheckValue(fields[0], fields[1], bufferSize_);
            else
                CheckList(fields[0], bufferSize_);
            break;
        case 'l':
            CheckList(fields[0], bufferSize_);
            break;
        case 'n':
            CheckNullSection();
            break;
        case 'w':
            if (fields.size() >= 3)
                Write(fields[0], fields[1], fields[2]);
            break;
        case 'f':
            Flush();
            break;
        case 'a':
            AbandonProfileUpdate(path_.c_str());
            CHECK(ReadFile(path_) == baseline_, "abandoning changed the file");
            Rebase();
            break;
        case 'b':
            bufferSize_ = static_cast<size_t>(atoi(std::string(rest).c_str())) % 4096;
            break;
        case 'd':
            if (line.size() == 1)
                default_.reset();
            else
                default_ = Field(rest);
            break;
        default:
            break;
        }
    }

    // ---- expectations ----

    std::optional<std::string> ExpectedValue(const std::string &section, const std::string &key) const
    {
        return model_ ? model_->Value(section, key) : std::nullopt;
    }

    // The names that a key list shows: here the section's name is matched
    // as given, so one with blanks around it lists nothing.
    std::vector<std::string> ExpectedList(const std::string &section) const
    {
        bool padded = !section.empty() && (IsBlank(section.front()) || IsBlank(section.back()));
        if (!model_ || padded)
            return {};
        return model_->KeyNames(section);
    }

    // ---- reads through the Win32 functions ----

    const char *DefaultArgument() const { return default_ ? default_->c_str() : nullptr; }

    // Reads into a buffer of exactly `size` bytes, so that overruns show.
    std::string ReadValue(const std::string &section, const std::string &key, size_t size)
    {
        std::unique_ptr<char[]> buffer(new char[size]);
        DWORD length = GetPrivateProfileStringA(section.c_str(), key.c_str(), DefaultArgument(), buffer.get(),
                                                static_cast<DWORD>(size), path_.c_str());
        if (size == 0) {
            CHECK(length == 0, "read into no buffer returned " + std::to_string(length));
            return {};
        }
        CHECK(length < size && buffer[length] == '\0', "read result not ended in its buffer");
        return std::string(buffer.get(), length);
    }

    // A key list as read into a buffer of exactly `size` bytes; `twoNuls`
    // tells whether it ends with two NULs in the buffer, as a list must.
    std::string ReadList(const char *section, size_t size, bool *twoNuls = nullptr)
    {
        std::unique_ptr<char[]> buffer(new char[size]);
        DWORD length = GetPrivateProfileStringA(section, nullptr, DefaultArgument(), buffer.get(),
                                                static_cast<DWORD>(size), path_.c_str());
        if (size == 0) {
            CHECK(length == 0, "list into no buffer returned " + std::to_string(length));
            return {};
        }
        CHECK(length < size && buffer[length] == '\0', "list not ended in its buffer");
        if (twoNuls != nullptr)
            *twoNuls = (length > 0 && buffer[length - 1] == '\0') || (length + 1 < size && buffer[length + 1] == '\0');
        return std::string(buffer.get(), length);
    }

    void CheckValue(const std::string &section, const std::string &key, size_t size)
    {
        std::optional<std::string> found = ExpectedValue(section, key);
        std::string text = found ? *found : KeyDefault(default_);
        // The sizes around the text's own are where the cutting rules differ.
        std::vector<size_t> sizes = {0, 1, 2, text.size(), text.size() + 1, text.size() + 2, ample_};
        if (size != 0)
            sizes.push_back(size);
        for (size_t n : sizes) {
            std::string got = ReadValue(section, key, n);
            std::string expected = n == 0 ? std::string() : Copied(text, n);
            CHECK(got == expected, "read " + Escaped(section) + "/" + Escaped(key) + " into " + std::to_string(n) +
                                       " bytes gave " + Escaped(got) + ", expected " + Escaped(expected));
        }
    }

    void CheckList(const std::string &section, size_t size)
    {
        std::vector<std::string> names = ExpectedList(section);
        std::string context = "list of " + Escaped(section);
        bool twoNuls = false;
        std::string got = ReadList(section.c_str(), ample_, &twoNuls);
        std::string expected = ListCopied(names, default_, ample_);
        CHECK(got == expected, context + " gave " + Escaped(got) + ", expected " + Escaped(expected));

        // What must hold whatever the model says: a list that shows names
        // shows no comment, starts with a name, shows each key written (not
        // a comment) and ends with two NULs.
        if (got != Copied(default_.value_or(""), ample_)) {
            std::vector<std::string> shown;
            for (size_t i = 0; i < got.size(); i += shown.back().size() + 1)
                shown.emplace_back(got.c_str() + i);
            CHECK(twoNuls, context + ": not ended with two NULs");
            CHECK(!shown.empty() && !shown[0].empty(), context + ": starts with an empty name");
            for (const std::string &name : shown)
                CHECK(name[0] != ';', context + ": comment " + Escaped(name));
            for (const Written &w : written_)
                CHECK(!Same(w.section, section) || Trim(w.key)[0] == ';' ||
                          std::any_of(shown.begin(), shown.end(), [&](const std::string &n) { return Same(n, w.key); }),
                      context + ": written key " + Escaped(w.key) + " not listed");
        }

        std::string list;
        for (const std::string &name : names)
            list.append(name).push_back('\0');
        std::vector<size_t> sizes = {0, 1, 2, 3, list.size(), list.size() + 1, list.size() + 2};
        if (size != 0)
            sizes.push_back(size);
        for (size_t n : sizes) {
            std::string cut = ReadList(section.c_str(), n);
            expected = n == 0 ? std::string() : ListCopied(names, default_, n);
            CHECK(cut == expected, context + " cut to " + std::to_string(n) + " bytes gave " + Escaped(cut) +
                                       ", expected " + Escaped(expected));
        }
    }

    void CheckNullSection()
    {
        char buffer[8];
        memset(buffer, 'x', sizeof buffer);
        DWORD length = GetPrivateProfileStringA(nullptr, nullptr, DefaultArgument(), buffer, sizeof buffer, path_.c_str());
        CHECK(length == 0 && buffer[0] == '\0', "list of a null section is not empty");
    }

    // ---- writes and flushes ----

    void Write(const std::string &section, const std::string &key, const std::string &value)
    {
        errno = 0;
        BOOL ok = WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(), path_.c_str());
        std::string what = "write " + Escaped(section) + "/" + Escaped(key) + "=" + Escaped(value);
        if (!model_ || IsUtf16(baseline_)) {
            CHECK(!ok && errno != 0, what + " into an unreadable or UTF-16 file was accepted");
            return;
        }
        bool writable = Writable(section, key, value);
        CHECK(ok == writable, what + (ok ? " was accepted" : " was refused"));
        if (!ok) {
            CHECK(errno == EINVAL, what + " refused with errno " + std::to_string(errno));
            return;
        }
        written_.push_back({section, key, value});
        model_->Set(section, key, value);
        // A written key reads back its value, as a value in the file reads.
        std::string expected = Copied(Trim(value), ample_);
        std::string got = ReadValue(section, key, ample_);
        CHECK(got == expected, what + ": read back " + Escaped(got) + ", expected " + Escaped(expected));
        CheckValue(section, key, 0);
        CheckList(section, 0);
    }

    // Every line of `before` that no write may have changed must be found,
    // in order and byte for byte, in `after`; every line that a write may
    // have changed must be found between the same neighbours, as it was or
    // rewritten; every other line of `after` must be one that a write added.
    void CheckLines(std::string_view before, std::string_view after) const
    {
        bool bom = before.substr(0, 3) == kByteOrderMark;
        CHECK(bom == (after.substr(0, 3) == kByteOrderMark), "byte-order mark added or lost");
        if (bom) {
            before.remove_prefix(3);
            after.remove_prefix(3);
        }
        std::vector<LineBytes> old = SplitLines(before), now = SplitLines(after);
        std::string_view fileEol = "\r\n";
        for (const LineBytes &line : old)
            if (!line.eol.empty()) {
                fileEol = line.eol;
                break;
            }
        auto mayChange = [&](const LineBytes &line) {
            if (IsHeaderLine(line.text))
                return false;
            std::string_view key = KeyOfLine(line.text);
            return std::any_of(written_.begin(), written_.end(), [&](const Written &w) { return Matches(key, w.key); });
        };
        // The file's last line may gain a line ending when lines follow it.
        auto sameEnding = [&](const LineBytes &was, const LineBytes &is) {
            return is.eol == was.eol || (was.eol.empty() && was.text.end() == before.end());
        };

        // Lines that no write may have changed: no line that a write adds
        // can equal one of them, so the first equal line is theirs.
        struct Window {
            LineBytes line;
            size_t from, to;  // where in `now` it must be
        };
        std::vector<Window> windows;
        std::vector<bool> matched(now.size(), false);
        size_t j = 0;
        for (const LineBytes &line : old) {
            if (mayChange(line)) {
                windows.push_back({line, j, now.size()});
                continue;
            }
            while (j < now.size() && !(now[j].text == line.text && sameEnding(line, now[j])))
                ++j;
            CHECK(j < now.size(), "line " + Escaped(line.text) + Escaped(line.eol) + " lost or changed; now " + Escaped(after));
            for (Window &window : windows)
                window.to = std::min(window.to, j);
            matched[j++] = true;
        }
        // Lines that a write may have changed, in order between those: the
        // first line of the same name there is theirs (a write adds a key
        // only where no line bears its name), the same or with a new value.
        std::vector<bool> rewritten(now.size(), false);
        size_t k = 0;
        for (const Window &window : windows) {
            k = std::max(k, window.from);
            while (k < window.to && (matched[k] || KeyOfLine(now[k].text) != KeyOfLine(window.line.text) ||
                                     IsHeaderLine(now[k].text) || !sameEnding(window.line, now[k])))
                ++k;
            CHECK(k < window.to, "line " + Escaped(window.line.text) + Escaped(window.line.eol) + " lost; now " +
                                     Escaped(after));
            matched[k] = true;
            rewritten[k] = now[k].text != window.line.text;
            ++k;
        }

        for (size_t n = 0; n < now.size(); ++n) {
            if (matched[n] && !rewritten[n])
                continue;
            const LineBytes &line = now[n];
            std::string context = (rewritten[n] ? "rewritten line " : "added line ") + Escaped(line.text) +
                                  Escaped(line.eol) + " in " + Escaped(after);
            // A new line ends like the file's first line; where that is a
            // lone CR, which could meet the LF of a line after it, it may
            // end like another line of the file.
            bool eolOk = rewritten[n] || line.eol == fileEol ||
                         (fileEol == "\r" && !line.eol.empty() && std::any_of(old.begin(), old.end(), [&](const LineBytes &o) {
                              return o.eol == line.eol;
                          }));
            CHECK(eolOk, context + ": unexpected line ending");
            bool produced = std::any_of(written_.begin(), written_.end(), [&](const Written &w) {
                if (IsHeaderLine(line.text))
                    return !rewritten[n] && line.text == "[" + std::string(Trim(w.section)) + "]";
                size_t equals = line.text.find('=');
                return equals != std::string_view::npos && Matches(KeyOfLine(line.text), w.key) &&
                       Trim(line.text.substr(equals + 1)) == Trim(w.value);
            });
            CHECK(produced, context + ": not written by any write");
        }
    }

    // The queries that every check runs: each written key, the first names
    // found in the file as sections and keys, and their key lists.
    template <typename Value, typename List>
    void ForEachQuery(Value value, List list) const
    {
        for (const Written &w : written_)
            value(w.section, w.key);
        size_t few = std::min<size_t>(names_.size(), 4);
        for (size_t s = 0; s < few; ++s)
            for (size_t k = 0; k < few; ++k)
                value(names_[s], names_[k]);
        for (size_t s = 0; s < std::min<size_t>(names_.size(), 8); ++s)
            list(names_[s]);
        for (const Written &w : written_)
            list(w.section);
    }

    // Reads through the Win32 functions.
    void CheckReads()
    {
        ForEachQuery([&](const std::string &s, const std::string &k) { CheckValue(s, k, 0); },
                     [&](const std::string &s) { CheckList(s, 0); });
    }

    // Reads of a text by another reader against the model.
    void CheckReads(const TextReader &reader) const
    {
        ForEachQuery(
            [&](const std::string &s, const std::string &k) {
                std::optional<std::string> got = reader.value(s, k), expected = ExpectedValue(s, k);
                CHECK(got == expected, std::string(reader.where) + " " + Escaped(s) + "/" + Escaped(k) + " gave " +
                                           (got ? Escaped(*got) : "nothing") + ", expected " +
                                           (expected ? Escaped(*expected) : "nothing"));
            },
            [&](const std::string &s) {
                std::vector<std::string> got = reader.keyNames(s), expected = model_->KeyNames(s);
                CHECK(got == expected, std::string(reader.where) + " list of " + Escaped(s) + " gave " + Escaped(got) +
                                           ", expected " + Escaped(expected));
            });
    }

    void Flush()
    {
        CheckReads();
        errno = 0;
        BOOL ok = WritePrivateProfileStringA(nullptr, nullptr, nullptr, path_.c_str());
        CHECK(ok, std::string("flush failed: ") + strerror(errno));
        std::vector<std::string> entries = DirectoryEntries(directory_);
        CHECK(entries.size() == 1, "flush left " + std::to_string(entries.size()) + " files");
        std::string after = ReadFile(path_);
        if (written_.empty() || !model_) {
            CHECK(after == baseline_, "flush without writes changed the file");
        } else {
            CheckLines(baseline_, after);
            std::optional<Model> reread = Model::Of(after);
            CHECK(reread, "the flushed file " + Escaped(after) + " cannot be read");
            CheckReads(ReaderOf(*reread, "flushed file"));
            CheckShortcuts(after, names_);
            emsgraft::ByteBuffer bytes(after.size());
            after.copy(bytes.Data(), after.size());
            ProfileText fresh(std::move(bytes));
            CheckReads(ReaderOf(fresh, "flushed file, read by the layer,"));
        }
        baseline_ = after;
        Rebase();
        CheckReads();  // now read from the replaced file
    }
};

std::string base;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // A memory file system, where flushing to disk costs nothing.
    base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string_view input(reinterpret_cast<const char *>(data), size);
    std::string_view script = "l $0\nr $0|$1\nw ^0|~1|x\nr $0|$2\nw New|k|v\nf\nl $0\n";
    std::string_view file = input;
    size_t marker = input.rfind("====\n", 0) == 0 ? 0 : input.find("\n====\n");
    if (marker != std::string_view::npos) {
        size_t bodyStart = marker == 0 ? 5 : marker + 6;
        script = input.substr(0, marker);
        file = input.substr(bodyStart);
    }
    Session session(base, file, size * 2 + 64);
    session.Run(script);
    return 0;
}

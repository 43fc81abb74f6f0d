// libFuzzer target for the POSIX profile layer: arbitrary file bytes and an
// arbitrary series of reads, writes and flushes through the Win32 profile
// functions on a real file, each result checked against what the file held
// before and what was written since.
//
// Input: operation lines, then a line "====", then the bytes of the file.
// Without a "====" line the whole input is the file and a fixed series runs.
//   r S|K      read key K of section S       l S     list the keys of S
//   w S|K|V    write K=V into S              f       flush the writes
//   a          abandon the writes            b N     read buffers of N bytes
//   n          list with a null section            (0: ample again)
// In S, K and V a backslash takes the next byte as it is, except that \n, \r,
// \t, \v and \f stand for those control characters and \xHH for any byte.
// A whole field "$N" is the N-th name found in the file (any bracketed text,
// the text before "=", or a whole line), "^N" the same with the case of its
// ASCII letters swapped, "~N" the same padded with blanks.
//
// Invariants (any breach aborts): a write is refused exactly when its line
// could not be read back; a written key reads back its value; keys and
// sections not written read as before; a key list never holds comments or
// empty names and always holds the keys written; a flush leaves the lines not
// written byte for byte as they were, adds only the lines written, and leaves
// no other file beside the file; what is read after a flush is what was read
// before it.
#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/profile_text.h"
#include "platform/profile.h"

namespace {

using emsgraft::ProfileText;

[[noreturn]] void Fail(const std::string &what)
{
    fprintf(stderr, "invariant broken: %s\n", what.c_str());
    abort();
}

// The message is only built for a breach: building it costs more than most checks.
#define CHECK(ok, what)   \
    do {                  \
        if (!(ok))        \
            Fail(what);   \
    } while (0)

// Shows bytes with escapes, for the messages.
std::string Shown(std::string_view bytes)
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

// ---- How a reader of profile files sees names and values ----------------

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\x1a'; }

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool Same(std::string_view a, std::string_view b)
{
    a = Trim(a);
    b = Trim(b);
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return Lower(x) == Lower(y);
           });
}

// A value as it reads back: trimmed, one pair of enclosing quotes removed.
std::string Readback(std::string_view value)
{
    value = Trim(value);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
        value = value.substr(1, value.size() - 2);
    return std::string(value);
}

bool HasLineBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

// Whether key=value written into a section can be read back: no line
// breaks, a key with a name and without "=", and no line that reads as a
// section header.
bool Writable(std::string_view section, std::string_view key, std::string_view value)
{
    if (HasLineBreak(section) || HasLineBreak(key) || HasLineBreak(value))
        return false;
    std::string_view name = Trim(key);
    if (name.empty() || name.find('=') != std::string_view::npos)
        return false;
    bool headerShaped = name.front() == '[' && (name.find(']') != std::string_view::npos ||
                                                value.find(']') != std::string_view::npos);
    return !headerShaped;
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
    size_t first = text.find_first_not_of(" \t\v\f\x1a");
    return first != std::string_view::npos && text[first] == '[' && text.find(']', first) != std::string_view::npos;
}

// The key name of a line that is not a header: up to the first "=", trimmed,
// ended by a NUL byte.
std::string_view KeyOfLine(std::string_view text)
{
    std::string_view name = Trim(text.substr(0, text.find('=')));
    return name.substr(0, name.find('\0'));
}

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

bool IsUtf16(std::string_view bytes)
{
    return bytes.size() >= 2 && ((bytes[0] == '\xFF' && bytes[1] == '\xFE') || (bytes[0] == '\xFE' && bytes[1] == '\xFF'));
}

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
        directory_ = pattern;
        path_ = directory_ + "/mapisvc.inf";
        WriteFile(path_, bytes);
        Rebase();
        CollectNames();
    }
    ~Session()
    {
        AbandonProfileUpdate(path_.c_str());  // the next input may get the same name
        unlink(path_.c_str());
        rmdir(directory_.c_str());
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
        CheckReads(nullptr);
    }

private:
    std::string directory_, path_;
    std::string baseline_;                // the file as last flushed
    std::optional<ProfileText> before_;   // baseline_ read; none when unreadable
    std::vector<Written> written_;        // accepted since the last flush
    std::vector<std::string> names_;      // names found in the file
    size_t ample_;
    size_t bufferSize_ = 0;               // 0: ample

    void Rebase()
    {
        written_.clear();
        before_.reset();
        if (!IsUtf16(baseline_))
            before_.emplace(baseline_);
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
        default:
            break;
        }
    }

    // ---- expectations ----

    bool TouchedSection(std::string_view section) const
    {
        return std::any_of(written_.begin(), written_.end(),
                           [&](const Written &w) { return Same(w.section, section); });
    }

    bool WrittenKey(std::string_view section, std::string_view name) const
    {
        return std::any_of(written_.begin(), written_.end(),
                           [&](const Written &w) { return Same(w.section, section) && Same(w.key, name); });
    }

    std::optional<std::string> ExpectedValue(std::string_view section, std::string_view key) const
    {
        for (auto w = written_.rbegin(); w != written_.rend(); ++w)
            if (Same(w->section, section) && Same(w->key, key))
                return Readback(w->value);
        if (!before_)
            return std::nullopt;
        std::optional<std::string_view> value = before_->Value(section, key);
        if (!value)
            return std::nullopt;
        return std::string(*value);
    }

    // Checks a section's key list as read (in full) against the one before.
    void CheckNames(std::string_view section, const std::vector<std::string> &names, const char *where) const
    {
        auto context = [&] { return std::string(where) + " list of " + Shown(section); };
        for (const std::string &name : names) {
            CHECK(!name.empty(), context() + ": empty name");
            CHECK(name[0] != ';', context() + ": comment " + Shown(name));
        }
        std::vector<std::string> expected;
        if (before_)
            for (std::string_view name : before_->KeyNames(section))
                expected.emplace_back(name);
        if (!TouchedSection(section)) {
            CHECK(names == expected, context() + ": changed though not written");
            return;
        }
        auto notWritten = [&](const std::vector<std::string> &all) {
            std::vector<std::string> kept;
            for (const std::string &name : all)
                if (!WrittenKey(section, name))
                    kept.push_back(name);
            return kept;
        };
        CHECK(notWritten(names) == notWritten(expected), context() + ": keys not written changed");
        for (const Written &w : written_) {
            if (!Same(w.section, section) || Trim(w.key)[0] == ';')
                continue;
            CHECK(std::any_of(names.begin(), names.end(), [&](const std::string &n) { return Same(n, w.key); }),
                  context() + ": written key " + Shown(w.key) + " not listed");
        }
    }

    // ---- reads through the Win32 functions ----

    std::string ReadValue(std::string_view section, std::string_view key, size_t size)
    {
        std::unique_ptr<char[]> buffer(new char[size]);  // exact size: overruns show
        std::string s(section), k(key);
        DWORD length = GetPrivateProfileStringA(s.c_str(), k.c_str(), kDefault, buffer.get(),
                                                static_cast<DWORD>(size), path_.c_str());
        if (size == 0) {
            CHECK(length == 0, "read into no buffer returned " + std::to_string(length));
            return {};
        }
        CHECK(length < size && buffer[length] == '\0', "read result not ended in its buffer");
        return std::string(buffer.get(), length);
    }

    std::vector<std::string> ReadList(const char *section, size_t size, std::string *raw = nullptr)
    {
        std::unique_ptr<char[]> buffer(new char[size]);
        DWORD length = GetPrivateProfileStringA(section, nullptr, kDefault, buffer.get(), static_cast<DWORD>(size),
                                                path_.c_str());
        std::vector<std::string> names;
        if (size == 0) {
            CHECK(length == 0, "list into no buffer returned " + std::to_string(length));
            return names;
        }
        CHECK(length < size && buffer[length] == '\0', "list not ended in its buffer");
        if (raw != nullptr)
            raw->assign(buffer.get(), length);
        for (size_t i = 0; i < length;) {
            names.emplace_back(buffer.get() + i);
            i += names.back().size() + 1;
        }
        return names;
    }

    void CheckValue(const std::string &section, const std::string &key, size_t size)
    {
        std::optional<std::string> expected = ExpectedValue(section, key);
        std::string full = expected ? *expected : std::string(kDefault);
        std::string got = ReadValue(section, key, size == 0 ? ample_ : size);
        if (size != 0 && full.size() >= size)
            full.resize(size - 1);
        CHECK(got == full, "read " + Shown(section) + "/" + Shown(key) + " gave " + Shown(got) + ", expected " +
                               Shown(full));
    }

    void CheckList(const std::string &section, size_t size)
    {
        std::string blob;
        std::vector<std::string> names = ReadList(section.c_str(), ample_, &blob);
        CheckNames(section, names, "read");
        if (size == 0)
            return;
        // A list too long for the buffer is cut and still ends with two NULs.
        std::string cut;
        ReadList(section.c_str(), size, &cut);
        std::string expected = blob;
        if (blob.size() + 1 > size)
            expected = size <= 2 ? std::string() : blob.substr(0, size - 2);
        CHECK(cut == expected, "list of " + Shown(section) + " cut to " + std::to_string(size) + " bytes gave " +
                                   Shown(cut));
    }

    void CheckNullSection()
    {
        char buffer[8];
        memset(buffer, 'x', sizeof buffer);
        DWORD length = GetPrivateProfileStringA(nullptr, nullptr, kDefault, buffer, sizeof buffer, path_.c_str());
        CHECK(length == 0 && buffer[0] == '\0', "list of a null section is not empty");
    }

    // ---- writes and flushes ----

    void Write(const std::string &section, const std::string &key, const std::string &value)
    {
        errno = 0;
        BOOL ok = WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(), path_.c_str());
        std::string what = "write " + Shown(section) + "/" + Shown(key) + "=" + Shown(value);
        if (!before_) {
            CHECK(!ok && errno != 0, what + " into an unreadable file was accepted");
            return;
        }
        bool writable = Writable(section, key, value);
        CHECK(ok == writable, what + (ok ? " was accepted" : " was refused"));
        if (!ok) {
            CHECK(errno == EINVAL, what + " refused with errno " + std::to_string(errno));
            return;
        }
        written_.push_back({section, key, value});
        CheckValue(section, key, 0);
        CheckList(section, 0);
    }

    // Every line of `before` that no write may have changed must be found,
    // in order and byte for byte, in `after`; every other line of `after`
    // must be one that a write produced.
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
            return std::any_of(written_.begin(), written_.end(), [&](const Written &w) { return Same(w.key, key); });
        };
        std::vector<LineBytes> mayHaveChanged;
        size_t j = 0;
        std::vector<bool> matched(now.size(), false);
        for (size_t i = 0; i < old.size(); ++i) {
            if (mayChange(old[i])) {
                mayHaveChanged.push_back(old[i]);
                continue;
            }
            bool last = i + 1 == old.size();
            while (j < now.size() &&
                   !(now[j].text == old[i].text && (now[j].eol == old[i].eol || (last && old[i].eol.empty()))))
                ++j;
            CHECK(j < now.size(), "line " + std::to_string(i + 1) + " " + Shown(old[i].text) + Shown(old[i].eol) +
                                      " lost or changed; now " + Shown(after));
            matched[j++] = true;
        }
        for (size_t k = 0; k < now.size(); ++k) {
            if (matched[k])
                continue;
            const LineBytes &line = now[k];
            auto unchanged = std::find_if(mayHaveChanged.begin(), mayHaveChanged.end(), [&](const LineBytes &o) {
                return o.text == line.text && (o.eol == line.eol || o.eol.empty());
            });
            if (unchanged != mayHaveChanged.end()) {
                mayHaveChanged.erase(unchanged);
                continue;
            }
            std::string context = "added line " + Shown(line.text) + Shown(line.eol) + " in " + Shown(after);
            // A new line ends like the file's first line, or like the line
            // before it (where the first line's CR would meet an LF); a
            // rewritten one keeps its own ending.
            bool eolOk = line.eol == fileEol || (k > 0 && now[k - 1].eol == line.eol) ||
                         std::any_of(mayHaveChanged.begin(), mayHaveChanged.end(),
                                     [&](const LineBytes &o) { return o.eol == line.eol; });
            CHECK(eolOk, context + ": unexpected line ending");
            bool produced = std::any_of(written_.begin(), written_.end(), [&](const Written &w) {
                if (IsHeaderLine(line.text))
                    return line.text == "[" + std::string(Trim(w.section)) + "]";
                size_t equals = line.text.find('=');
                return equals != std::string_view::npos && Same(KeyOfLine(line.text), w.key) &&
                       Readback(line.text.substr(equals + 1)) == Readback(w.value);
            });
            CHECK(produced, context + ": not written by any write");
        }
    }

    // Reads of every written key and of the names found in the file, either
    // through the Win32 functions (text null) or from a text read afresh.
    void CheckReads(const ProfileText *text)
    {
        const char *where = text != nullptr ? "flushed file" : "read";
        auto value = [&](const std::string &section, const std::string &key) -> std::string {
            if (text == nullptr)
                return ReadValue(section, key, ample_);
            std::optional<std::string_view> found = text->Value(section, key);
            return found ? std::string(*found) : std::string(kDefault);
        };
        auto expect = [&](const std::string &section, const std::string &key) {
            std::optional<std::string> expected = ExpectedValue(section, key);
            std::string got = value(section, key);
            CHECK(got == (expected ? *expected : std::string(kDefault)),
                  std::string(where) + " " + Shown(section) + "/" + Shown(key) + " gave " + Shown(got));
        };
        for (const Written &w : written_)
            expect(w.section, w.key);
        size_t few = std::min<size_t>(names_.size(), 4);
        for (size_t s = 0; s < few; ++s)
            for (size_t k = 0; k < few; ++k)
                expect(names_[s], names_[k]);
        std::vector<std::string> sections(names_.begin(), names_.begin() + std::min<size_t>(names_.size(), 8));
        for (const Written &w : written_)
            sections.push_back(w.section);
        for (const std::string &section : sections) {
            std::vector<std::string> names;
            if (text == nullptr) {
                names = ReadList(section.c_str(), ample_);
            } else {
                for (std::string_view name : text->KeyNames(section))
                    names.emplace_back(name);
            }
            CheckNames(section, names, where);
        }
    }

    void Flush()
    {
        CheckReads(nullptr);
        errno = 0;
        BOOL ok = WritePrivateProfileStringA(nullptr, nullptr, nullptr, path_.c_str());
        CHECK(ok, std::string("flush failed: ") + strerror(errno));
        std::vector<std::string> entries = DirectoryEntries(directory_);
        CHECK(entries.size() == 1, "flush left " + std::to_string(entries.size()) + " files");
        std::string after = ReadFile(path_);
        if (written_.empty() || !before_) {
            CHECK(after == baseline_, "flush without writes changed the file");
        } else {
            CheckLines(baseline_, after);
            ProfileText fresh(after);
            CheckReads(&fresh);
        }
        baseline_ = after;
        Rebase();
        CheckReads(nullptr);  // now read from the replaced file
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

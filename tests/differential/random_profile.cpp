#include "random_profile.h"

#include <string.h>

#include <algorithm>

uint64_t Random::Next()
{
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

namespace {

// Names a service file holds, names that only look odd, and names with bytes
// above 0x7F. No two differ only in the case of a non-ASCII letter: both
// layers match only ASCII letters in either case (Wine's Win32 functions
// too), but Windows itself may fold others.
const std::vector<std::string> kSectionPool = {
    "Services", "Default Services", "MSEMS", "EMS_DSA", "EMS_MDB_public", "MSEMS_MSMail_Section", "S",
    "Section Two", "Gr\xF6\xDF" "e", "\x80 Euro", "A]b", "x=y", "#Hash", "\"Quoted\"", "Tab\tIn", "sp  aced",
    ";Semi", "\xA7\xB0\xFF"};
const std::vector<std::string> kKeyPool = {
    "MSEMS", "PR_DISPLAY_NAME", "PR_PROVIDER_DLL_NAME", "Providers", "66090003", "34140102", "k", "K2",
    "key with spaces", "na\xEFve", "\"q\"", "#hash", "[bracket", "x]", "\xA7" "5", "Tab\tKey", "\x9F\x81"};
const std::vector<std::string> kWords = {
    "Microsoft Exchange Server", "emsui.dll", "06000000", "78b2fa70aff711cd9bc800aa002fc45a", "value",
    "a b  c", "STATUS_PRIMARY_IDENTITY|STATUS_DEFAULT_STORE", "x", "\xE9t\xE9", "\x80 100", "C:\\Program Files"};

const std::string kBlanks = " \t";
const std::string kRareBlanks = "\v\f\x1a";

template <typename T>
const T &Pick(Random &random, const std::vector<T> &items)
{
    return items[random.Below(static_cast<uint32_t>(items.size()))];
}

char Blank(Random &random)
{
    return random.Percent(90) ? kBlanks[random.Below(2)] : kRareBlanks[random.Below(3)];
}

std::string Blanks(Random &random, uint32_t chance = 30)
{
    std::string blanks;
    while (random.Percent(chance) && blanks.size() < 4)
        blanks.push_back(Blank(random));
    return blanks;
}

// Any byte but line breaks; `forbidden` lists more bytes to leave out.
std::string RandomText(Random &random, size_t length, const std::string &forbidden = "")
{
    std::string text;
    while (text.size() < length) {
        char c;
        switch (random.Below(10)) {
        case 0:
            c = static_cast<char>(0x80 + random.Below(0x80));
            break;
        case 1:
            c = random.Percent(20) ? '\0' : Blank(random);
            break;
        default:
            c = static_cast<char>(0x20 + random.Below(0x5F));
        }
        if (c != '\r' && c != '\n' && forbidden.find(c) == std::string::npos)
            text.push_back(c);
    }
    return text;
}

// A name the pools lack: no NUL, no blank at either end.
std::string RandomName(Random &random, bool key)
{
    size_t length = random.Percent(5) ? 200 + random.Below(800) : 1 + random.Below(12);
    std::string name = RandomText(random, length, key ? std::string("=\0", 2) + "[;" : std::string("\0[]", 3));
    while (!name.empty() && (kBlanks + kRareBlanks).find(name.back()) != std::string::npos)
        name.pop_back();
    while (!name.empty() && (kBlanks + kRareBlanks).find(name.front()) != std::string::npos)
        name.erase(0, 1);
    return name.empty() ? "n" : name;
}

// The name as given, or with the case of its ASCII letters changed.
std::string VaryCase(Random &random, std::string name)
{
    uint32_t how = random.Below(10);
    if (how < 6)
        return name;
    for (char &c : name) {
        bool upper = how == 6 || (how >= 8 && random.Percent(50));
        if (upper && c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        else if (!upper && c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return name;
}

// A value as a file may hold it; `inFile` allows NULs.
std::string RandomValue(Random &random, bool inFile)
{
    uint32_t kind = random.Below(100);
    std::string value;
    if (kind < 10)
        value = "";
    else if (kind < 40)
        value = Pick(random, kWords);
    else if (kind < 55)
        value = RandomText(random, 1 + random.Below(40));
    else if (kind < 65) {
        const std::vector<std::string> quoted = {"\"" + Pick(random, kWords) + "\"", "\"", "\"\"", "\"a\" b",
                                                 "\"open", "close\"", "\"\"x\"\"", "' single '"};
        value = Pick(random, quoted);
    } else if (kind < 72)
        value = Pick(random, kWords) + "=" + Pick(random, kWords);
    else if (kind < 77)
        value = Pick(random, kWords) + std::string(1, '\0') + Pick(random, kWords);
    else if (kind < 80)
        value = RandomText(random, 300 + random.Below(4000));
    else if (kind < 88)
        value = kRareBlanks[random.Below(3)] + Pick(random, kWords) + kRareBlanks[random.Below(3)];
    else
        value = RandomText(random, 1 + random.Below(10), std::string("\0", 1)) + "\xE4\xF6\xFC\x80\x9F";
    if (!inFile)
        value.erase(std::remove(value.begin(), value.end(), '\0'), value.end());
    if (random.Percent(15))
        value = Blanks(random, 60) + value + Blanks(random, 60);
    return value;
}

struct FileNames {
    std::vector<std::string> sections;
    std::vector<std::string> keys;
    // The section and key of each entry that the file holds, for operations
    // that find what they look for.
    std::vector<std::pair<std::string, std::string>> entries;
};

std::string HeaderLine(Random &random, const std::string &name)
{
    std::string line = Blanks(random, 15) + "[" + Blanks(random, 15) + VaryCase(random, name) + Blanks(random, 15) + "]";
    if (random.Percent(10))
        line += Blanks(random, 50) + RandomText(random, 1 + random.Below(10), std::string("]\0", 2));
    return line;
}

std::string BodyLine(Random &random, const FileNames &names, std::vector<std::string> &sectionKeys)
{
    uint32_t kind = random.Below(100);
    std::string indent = Blanks(random, 20);
    if (kind < 45 || (kind < 52 && sectionKeys.empty())) {
        std::string key = Pick(random, names.keys);
        sectionKeys.push_back(key);
        return indent + VaryCase(random, key) + Blanks(random) + "=" + Blanks(random) + RandomValue(random, true) +
               Blanks(random, 15);
    }
    if (kind < 52)  // a duplicate key, its case perhaps changed
        return indent + VaryCase(random, Pick(random, sectionKeys)) + "=" + RandomValue(random, true);
    if (kind < 58)
        return indent + VaryCase(random, Pick(random, names.keys)) + Blanks(random, 15);
    if (kind < 68)
        return indent + ";" + RandomText(random, random.Below(30)) +
               (random.Percent(50) ? "=" + RandomValue(random, true) : "");
    if (kind < 80)
        return Blanks(random, 40);
    if (kind < 84)
        return indent + "[" + RandomText(random, random.Below(12), std::string("]\0", 2));
    if (kind < 92)
        return RandomText(random, random.Below(60));
    if (kind < 95)
        return indent + Blanks(random) + "=" + RandomValue(random, true);
    return indent + "#" + VaryCase(random, Pick(random, names.keys)) + "=" + RandomValue(random, true);
}

bool IsBlankText(const std::string &text)
{
    return text.find_first_not_of(kBlanks + kRareBlanks) == std::string::npos;
}

// Whether the line is an entry whose name is empty, even if only up to a NUL.
bool HasEmptyName(const std::string &line)
{
    size_t start = line.find_first_not_of(kBlanks + kRareBlanks);
    size_t equals = line.find('=');
    if (start == std::string::npos || equals == std::string::npos || line[start] == ';' ||
        (line[start] == '[' && line.find(']') != std::string::npos))
        return false;
    return IsBlankText(line.substr(start, line.find('\0', start) - start).substr(0, equals - start));
}

const char *LineEnding(Random &random)
{
    static const char *const endings[] = {"\r\n", "\n", "\r"};
    return endings[random.Below(3)];
}

// The Win32 functions drop an entry with an empty name that follows another
// one with only blank lines between; the POSIX layer keeps and lists both.
void AddBodyLine(Random &random, const FileNames &names, std::vector<std::string> &sectionKeys,
                 std::vector<std::string> &lines)
{
    std::string line = BodyLine(random, names, sectionKeys);
    auto previous = std::find_if(lines.rbegin(), lines.rend(), [](const std::string &l) { return !IsBlankText(l); });
    while (HasEmptyName(line) && previous != lines.rend() && HasEmptyName(*previous))
        line = BodyLine(random, names, sectionKeys);
    lines.push_back(line);
}

std::string RandomFile(Random &random, FileNames &names)
{
    std::vector<std::string> lines;
    std::vector<std::string> sectionKeys;
    if (random.Percent(25)) {
        for (uint32_t n = 1 + random.Below(4); n > 0; n--)
            AddBodyLine(random, names, sectionKeys, lines);
        for (const std::string &key : sectionKeys)
            names.entries.emplace_back("", key);
    }
    std::vector<std::string> used;
    uint32_t sections = random.Percent(3) ? 20 + random.Below(60) : random.Below(8);
    for (uint32_t s = 0; s < sections; s++) {
        std::string name = !used.empty() && random.Percent(15) ? Pick(random, used) : Pick(random, names.sections);
        used.push_back(name);
        lines.push_back(HeaderLine(random, name));
        sectionKeys.clear();
        for (uint32_t n = random.Below(9); n > 0; n--)
            AddBodyLine(random, names, sectionKeys, lines);
        for (const std::string &key : sectionKeys)
            names.entries.emplace_back(name, key);
    }

    // One line ending for the whole file, or a mixture.
    bool mixed = random.Percent(15);
    const char *ending = LineEnding(random);
    std::string text;
    for (size_t i = 0; i < lines.size(); i++) {
        text += lines[i];
        if (i + 1 < lines.size() || random.Percent(85))
            text += mixed ? LineEnding(random) : ending;
    }
    return text;
}

std::string SectionArgument(Random &random, const FileNames &names)
{
    uint32_t kind = random.Below(100);
    std::string name = kind < 85 ? VaryCase(random, Pick(random, names.sections))
                       : kind < 90 ? std::string()
                                   : RandomName(random, false);
    if (random.Percent(10))
        name = Blanks(random, 60) + name + Blanks(random, 60);
    return name;
}

std::string KeyArgument(Random &random, const FileNames &names)
{
    std::string name = random.Percent(90) ? VaryCase(random, Pick(random, names.keys)) : RandomName(random, true);
    if (random.Percent(10))
        name = " " + name + Blanks(random, 60);
    return name;
}

std::optional<std::string> DefaultArgument(Random &random)
{
    const std::vector<std::string> defaults = {"", "", "", "dflt", "  pad  ", "a\tb\t", "d\xE9" "f", "\"q\"",
                                               std::string(2000, 'd')};
    if (random.Percent(10))
        return std::nullopt;
    return Pick(random, defaults);
}

}  // namespace

RandomSequence GenerateSequence(uint64_t seed)
{
    Random random(seed);
    RandomSequence sequence;
    sequence.seed = seed;
    sequence.utf8 = random.Percent(15);

    FileNames names;
    for (uint32_t n = 2 + random.Below(5); n > 0; n--)
        names.sections.push_back(Pick(random, kSectionPool));
    for (uint32_t n = 3 + random.Below(8); n > 0; n--)
        names.keys.push_back(Pick(random, kKeyPool));
    if (random.Percent(30))
        names.sections.push_back(RandomName(random, false));
    if (random.Percent(30))
        names.keys.push_back(RandomName(random, true));

    sequence.text = RandomFile(random, names);
    // Without a UTF-8 byte-order mark, the first bytes must not read as one,
    // nor as a UTF-16 one.
    if (!sequence.utf8 && !sequence.text.empty() &&
        (sequence.text[0] == '\xEF' || sequence.text[0] == '\xFF' || sequence.text[0] == '\xFE'))
        sequence.text.insert(0, "\r\n");

    static const uint32_t sizes[] = {1, 2, 3, 4, 5, 7, 8, 16, 64, 255, 1024, 1024, 1024, 1024, 4096, 65536};
    for (uint32_t n = 1 + random.Below(14); n > 0; n--) {
        Operation operation;
        uint32_t kind = random.Below(100);
        operation.kind = kind < 35 ? READ_KEY : kind < 60 ? LIST_KEYS : kind < 96 ? WRITE_KEY : FLUSH;
        operation.section = SectionArgument(random, names);
        if (operation.kind == READ_KEY || operation.kind == WRITE_KEY)
            operation.key = KeyArgument(random, names);
        if (operation.kind != FLUSH && !names.entries.empty() && random.Percent(50)) {
            const auto &entry = Pick(random, names.entries);
            operation.section = VaryCase(random, entry.first);
            if (operation.kind != LIST_KEYS)
                operation.key = VaryCase(random, entry.second);
        }
        if (operation.kind == READ_KEY || operation.kind == LIST_KEYS) {
            operation.defaultValue = DefaultArgument(random);
            // A UTF-8 file's text is longer in bytes than in Windows-1252:
            // results there are compared whole, never cut by the buffer.
            operation.bufferSize = sequence.utf8 ? 1u << 20 : sizes[random.Below(sizeof sizes / sizeof *sizes)];
        }
        if (operation.kind == WRITE_KEY) {
            operation.value = RandomValue(random, false);
            // The POSIX layer refuses a write that would read as a header.
            if (operation.key.find_first_not_of(kBlanks) != std::string::npos &&
                operation.key[operation.key.find_first_not_of(kBlanks)] == '[')
                operation.value.erase(std::remove(operation.value.begin(), operation.value.end(), ']'),
                                      operation.value.end());
            // It refuses a key that starts with a byte-order mark too.
            size_t name = operation.key.find_first_not_of(kBlanks + kRareBlanks);
            for (const char *mark : {"\xEF\xBB\xBF", "\xFF\xFE", "\xFE\xFF"})
                if (name != std::string::npos && operation.key.compare(name, strlen(mark), mark) == 0)
                    operation.key.insert(name, "k");
        }
        sequence.operations.push_back(operation);
    }
    // A write makes the Win32 functions rewrite the whole file, and they cut
    // every line at a NUL byte as they do: NULs only where nothing is written.
    for (const Operation &operation : sequence.operations) {
        if (operation.kind == WRITE_KEY)
            std::replace(sequence.text.begin(), sequence.text.end(), '\0', '\x01');
    }
    return sequence;
}

namespace {

// Windows-1252 bytes 0x80 to 0x9F; the rest of the upper half is Latin-1.
const uint16_t kWindows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

uint32_t CodePoint(unsigned char byte) { return byte >= 0x80 && byte < 0xA0 ? kWindows1252High[byte - 0x80] : byte; }

}  // namespace

std::string Utf8FromWindows1252(const std::string &text)
{
    std::string utf8;
    for (char c : text) {
        uint32_t code = CodePoint(static_cast<unsigned char>(c));
        if (code < 0x80) {
            utf8.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            utf8.push_back(static_cast<char>(0xC0 | (code >> 6)));
            utf8.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            utf8.push_back(static_cast<char>(0xE0 | (code >> 12)));
            utf8.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            utf8.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }
    return utf8;
}

bool Windows1252FromUtf8(const std::string &utf8, std::string &text)
{
    text.clear();
    for (size_t i = 0; i < utf8.size();) {
        unsigned char lead = static_cast<unsigned char>(utf8[i]);
        size_t extra = lead < 0x80 ? 0 : (lead & 0xE0) == 0xC0 ? 1 : (lead & 0xF0) == 0xE0 ? 2 : 3;
        if (extra == 3 || i + extra >= utf8.size())
            return false;
        uint32_t code = extra == 0 ? lead : extra == 1 ? lead & 0x1F : lead & 0x0F;
        for (size_t k = 1; k <= extra; k++) {
            unsigned char next = static_cast<unsigned char>(utf8[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (next & 0x3F);
        }
        i += extra + 1;
        int byte = -1;
        for (int b = 0; b < 256 && byte < 0; b++)
            if (CodePoint(static_cast<unsigned char>(b)) == code)
                byte = b;
        // Only the shortest form of a character is valid.
        size_t shortest = code < 0x80 ? 0 : code < 0x800 ? 1 : 2;
        if (byte < 0 || shortest != extra)
            return false;
        text.push_back(static_cast<char>(byte));
    }
    return true;
}

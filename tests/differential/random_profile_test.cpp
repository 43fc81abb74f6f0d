// The generator behind the differential check: a seed must give the same
// sequence on every run (a reported seed repeats a disagreement), and the
// sequences must keep reaching the odd corners of service files.
#include <gtest/gtest.h>

#include <functional>

#include "random_profile.h"

namespace {

std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t begin = 0;
    while (begin < text.size()) {
        size_t end = text.find_first_of("\r\n", begin);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(begin, end - begin));
        begin = end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
    }
    return lines;
}

bool AnyLine(const std::string &text, const std::function<bool(const std::string &)> &test)
{
    for (const std::string &line : Lines(text))
        if (test(line))
            return true;
    return false;
}

std::string Trimmed(const std::string &line)
{
    size_t begin = line.find_first_not_of(" \t\v\f\x1a");
    return begin == std::string::npos ? "" : line.substr(begin);
}

TEST(RandomProfile, SameSeedGivesTheSameSequence)
{
    for (uint64_t seed : {1ull, 77ull, 123456789ull}) {
        RandomSequence a = GenerateSequence(seed), b = GenerateSequence(seed);
        EXPECT_EQ(a.utf8, b.utf8);
        EXPECT_EQ(a.text, b.text);
        ASSERT_EQ(a.operations.size(), b.operations.size());
        for (size_t i = 0; i < a.operations.size(); i++) {
            const Operation &x = a.operations[i], &y = b.operations[i];
            EXPECT_TRUE(x.kind == y.kind && x.section == y.section && x.key == y.key &&
                        x.defaultValue == y.defaultValue && x.value == y.value && x.bufferSize == y.bufferSize)
                << "seed " << seed << ", operation " << i;
        }
    }
    EXPECT_NE(GenerateSequence(1).text, GenerateSequence(2).text);
}

// Each feature that the check is meant to cover, in the fixed set that the
// test suite runs.
TEST(RandomProfile, FixedSetCoversEveryFeature)
{
    std::map<std::string, int> seen;
    auto note = [&seen](const char *feature, bool present) { seen[feature] += present ? 1 : 0; };
    for (uint64_t seed = 1; seed <= 2000; seed++) {
        RandomSequence sequence = GenerateSequence(seed);
        const std::string &text = sequence.text;
        note("UTF-8 with a byte-order mark", sequence.utf8);
        note("CR LF", text.find("\r\n") != std::string::npos);
        note("LF alone", text.find('\n') != std::string::npos && text.find("\r\n") == std::string::npos);
        note("CR alone", text.find('\r') != std::string::npos && text.find('\n') == std::string::npos);
        note("no final line break", !text.empty() && text.back() != '\n' && text.back() != '\r');
        note("NUL byte", text.find('\0') != std::string::npos);
        note("byte above 0x7F", std::any_of(text.begin(), text.end(), [](char c) { return c & 0x80; }));
        note("long line", AnyLine(text, [](const std::string &l) { return l.size() > 1000; }));
        note("blank line", AnyLine(text, [](const std::string &l) { return Trimmed(l).empty(); }));
        note("comment", AnyLine(text, [](const std::string &l) { return Trimmed(l)[0] == ';'; }));
        note("unclosed header", AnyLine(text, [](const std::string &l) {
                 return Trimmed(l)[0] == '[' && l.find(']') == std::string::npos && l.find('=') == std::string::npos;
             }));
        note("line without =", AnyLine(text, [](const std::string &l) {
                 std::string t = Trimmed(l);
                 return !t.empty() && t[0] != '[' && t[0] != ';' && t.find('=') == std::string::npos;
             }));
        note("empty key name", AnyLine(text, [](const std::string &l) { return Trimmed(l)[0] == '='; }));
        note("quoted value", text.find("=\"") != std::string::npos);
        for (const Operation &operation : sequence.operations) {
            note("key read", operation.kind == READ_KEY);
            note("key list", operation.kind == LIST_KEYS);
            note("write", operation.kind == WRITE_KEY);
            note("NULL default", operation.kind != WRITE_KEY && !operation.defaultValue);
            note("buffer of one byte", operation.bufferSize == 1);
        }
    }
    for (const auto &[feature, count] : seen)
        EXPECT_GE(count, 10) << feature;
}

TEST(RandomProfile, Windows1252RoundTripsThroughUtf8)
{
    std::string all;
    for (int byte = 0; byte < 256; byte++)
        all.push_back(static_cast<char>(byte));
    std::string utf8 = Utf8FromWindows1252(all), back;
    EXPECT_EQ(utf8.substr(0x80, 6), "\xE2\x82\xAC\xC2\x81\xE2");  // the euro sign, then U+0081
    ASSERT_TRUE(Windows1252FromUtf8(utf8, back));
    EXPECT_EQ(back, all);
    for (const char *invalid : {"\x80", "\xC3", "\xC3(", "\xE2\x82", "\xC1\x81", "\xE2\x80\x8B", "\xF0\x9F\x98\x80"})
        EXPECT_FALSE(Windows1252FromUtf8(invalid, back)) << invalid;
}

}  // namespace

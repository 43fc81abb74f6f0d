// Reading a profile file through the POSIX profile layer: the results the
// Win32 profile functions give for the same bytes.
#include <gtest/gtest.h>
#include <string.h>

#include "platform/profile.h"
#include "test_support.h"

namespace {

class ProfileRead : public ::testing::Test {
protected:
    ScratchDirectory dir;
    fs::path file = dir / "read.inf";

    // The file, as an update reads it (steps 1 and 2).
    void Given(const std::string &bytes)
    {
        WriteBytes(file, bytes);
        char profile[MAX_PATH];
        ASSERT_TRUE(LocateProfile(file.string().c_str(), profile, sizeof profile));
        ASSERT_TRUE(ReadProfile(profile));
    }

    // The value read, or "<none>" when the read returned 0.
    std::string Get(const char *section, const char *key, const char *fallback = "")
    {
        char buffer[1024];
        DWORD length = GetPrivateProfileStringA(section, key, fallback, buffer, sizeof buffer, file.string().c_str());
        EXPECT_EQ(length, strlen(buffer));
        return std::string(buffer, length);
    }

    // The bytes that a read copied, before its terminator, for a buffer of
    // `size` bytes; with a NULL key, the key list.
    std::string Cut(const char *section, const char *key, const char *fallback, DWORD size)
    {
        std::vector<char> buffer(size, 'X');
        DWORD length = GetPrivateProfileStringA(section, key, fallback, buffer.data(), size, file.string().c_str());
        EXPECT_LT(length, size);
        EXPECT_EQ(buffer[length], '\0');
        return std::string(buffer.data(), length);
    }

    // What GetPrivateProfileSectionA copied before its final NUL, for a
    // buffer of `size` bytes; the list ends with two NULs, even when cut.
    std::string Listing(const char *section, DWORD size = 1024)
    {
        std::vector<char> buffer(size, 'X');
        DWORD length = GetPrivateProfileSectionA(section, buffer.data(), size, file.string().c_str());
        EXPECT_LT(length, size);
        EXPECT_EQ(buffer[length], '\0');
        if (length + 1 < size && (length == 0 || buffer[length - 1] != '\0')) {
            EXPECT_EQ(buffer[length + 1], '\0');
        }
        return std::string(buffer.data(), length);
    }

    std::vector<std::string> Keys(const char *section)
    {
        char buffer[1024];
        DWORD length = GetPrivateProfileStringA(section, NULL, "", buffer, sizeof buffer, file.string().c_str());
        std::vector<std::string> names;
        for (DWORD i = 0; i < length; i += static_cast<DWORD>(names.back().size()) + 1)
            names.emplace_back(buffer + i);
        EXPECT_EQ(buffer[length], '\0');
        return names;
    }
};

using Names = std::vector<std::string>;

TEST_F(ProfileRead, NamesMatchIgnoringAsciiCaseAndSurroundingBlanks)
{
    Given("[ Services ]\r\n  MSEMS  =  Microsoft Exchange  \r\n\tOther\t=\tx\r\n");
    EXPECT_EQ(Get("services", "msems"), "Microsoft Exchange");
    EXPECT_EQ(Get("SERVICES", " other "), "x");
    EXPECT_EQ(Keys("Services"), (Names{"MSEMS", "Other"}));
}

TEST_F(ProfileRead, ControlBlanksAreWhiteSpaceButNotNonAsciiOnes)
{
    Given("[S]\n\va=\v1\v\n\fb=\f2\f\n\x1a" "c=\x1a" "3\x1a\n\xa0" "d=4\n\x1a[T]\nk=v\n");
    EXPECT_EQ(Get("S", "a"), "1");
    EXPECT_EQ(Get("S", "b"), "2");
    EXPECT_EQ(Get("S", "c"), "3");
    EXPECT_EQ(Get("S", "d"), "");
    EXPECT_EQ(Get("S", "\xa0" "d"), "4");
    EXPECT_EQ(Get("T", "k"), "v");
}

TEST_F(ProfileRead, OnePairOfEnclosingQuotesIsRemoved)
{
    Given("[S]\nq= \"quoted value\" \nopen=\"only\nlone=\"\nempty=\"\"\ntwice=\"\"x\"\"\ninner=\"x\" y\n"
          "single=' x '\nmixed='x\"\n");
    EXPECT_EQ(Get("S", "q"), "quoted value");
    EXPECT_EQ(Get("S", "open"), "\"only");
    EXPECT_EQ(Get("S", "lone"), "\"");
    EXPECT_EQ(Get("S", "empty"), "");
    EXPECT_EQ(Get("S", "twice"), "\"x\"");
    EXPECT_EQ(Get("S", "inner"), "\"x\" y");
    EXPECT_EQ(Get("S", "single"), " x ");
    EXPECT_EQ(Get("S", "mixed"), "'x\"");
}

TEST_F(ProfileRead, QuotesGoOnlyWhenTheValueEndsBeforeANulByte)
{
    Given(Literal("[S]\nnul=\"a\0b\"\n"));
    EXPECT_EQ(Get("S", "nul"), "\"a");
}

TEST_F(ProfileRead, QuotedValueCutByTheBufferLosesOneMoreByteWhenAlmostFitting)
{
    // The Win32 functions copy what follows the opening quote, then drop the
    // last byte copied when the buffer holds at least that many bytes.
    Given("[S]\nk=\"abc\"\n");
    EXPECT_EQ(Cut("S", "k", "", 5), "abc");
    EXPECT_EQ(Cut("S", "k", "", 4), "ab");
    EXPECT_EQ(Cut("S", "k", "", 3), "ab");
    EXPECT_EQ(Cut("S", "k", "", 2), "a");
    EXPECT_EQ(Cut("S", "absent", "'abc'", 4), "ab");
}

TEST_F(ProfileRead, ValueKeepsFurtherEqualsSigns)
{
    Given("[S]\nk = a = b \n");
    EXPECT_EQ(Get("S", "k"), "a = b");
}

TEST_F(ProfileRead, CommentsAreNotListedButReadByName)
{
    Given("[S]\n;c=1\n\t; spaced=2\n#h=3\nk=4\n");
    EXPECT_EQ(Keys("S"), (Names{"#h", "k"}));
    EXPECT_EQ(Get("S", ";c"), "1");
}

TEST_F(ProfileRead, LinesWithoutEqualsAreNotKeys)
{
    Given("[S]\nbare\n[Open\nk=v\n[Empty]\njust text\n; comment\n\n");
    EXPECT_EQ(Keys("S"), Names{"k"});  // "[Open" is no header: k stays in S
    EXPECT_EQ(Get("S", "k"), "v");
    EXPECT_EQ(Get("Open", "k"), "");
    EXPECT_EQ(Keys("Empty"), Names{});
}

TEST_F(ProfileRead, LineHoldingOnlyANameReadsAsMissing)
{
    Given("[S]\nbare\nbare=later\n;note\nk=v\n");
    EXPECT_EQ(Get("S", "bare", "fallback"), "fallback");  // the later line is hidden
    EXPECT_EQ(Get("S", ";note", "fallback"), "fallback");
    EXPECT_EQ(Keys("S"), (Names{"bare", "k"}));
}

TEST_F(ProfileRead, EmptyKeyNamesAreListed)
{
    Given("[S]\nk=1\n=x\nm=2\n[First]\n = y\nk=1\n");
    EXPECT_EQ(Cut("S", NULL, "", 1024), Literal("k\0\0m\0"));
    EXPECT_EQ(Get("S", ""), "x");
    // A list that starts with an empty name would look empty to its
    // readers: the default comes instead.
    EXPECT_EQ(Cut("First", NULL, "d", 1024), "d");
    EXPECT_EQ(Get("First", "k"), "1");
}

TEST_F(ProfileRead, EmptyNameAfterAnotherIsListedToo)
{
#ifdef _WIN32
    GTEST_SKIP() << "Wine drops an entry with an empty name that follows another one, even across blank lines";
#endif
    Given("[S]\nk=1\n=x\n\n=y\nm=2\n");
    EXPECT_EQ(Cut("S", NULL, "", 1024), Literal("k\0\0\0m\0"));
}

TEST_F(ProfileRead, KeyListThatShowsNoNameGivesTheDefault)
{
    Given("[S]\nk=v\n[Empty]\n; comment\nbare\n");
    EXPECT_EQ(Cut("Empty", NULL, "dflt", 1024), "dflt");
    EXPECT_EQ(Cut("Absent", NULL, "  \"d\"  ", 1024), "  \"d\"  ");  // spaces kept here, so the quotes too
    EXPECT_EQ(Cut("Absent", NULL, "\"d\"", 1024), "d");
    EXPECT_EQ(Cut("Absent", NULL, NULL, 1024), "");
    EXPECT_EQ(Cut("S", NULL, "dflt", 2), "d");  // the list cut to nothing
}

TEST_F(ProfileRead, KeyListMatchesTheSectionNameUntrimmed)
{
    Given("[ S ]\nk=v\n");
    EXPECT_EQ(Keys("S"), Names{"k"});
    EXPECT_EQ(Cut(" S", NULL, "d", 1024), "d");
    EXPECT_EQ(Cut("S\t", NULL, "", 1024), "");
    EXPECT_EQ(Get(" S\t", "k"), "v");  // a key's read trims it
}

TEST_F(ProfileRead, KeyListFitsOnlyWithAByteToSpare)
{
    Given("[S]\nab=1\ncd=2\n");
    EXPECT_EQ(Cut("S", NULL, "", 8), Literal("ab\0cd\0"));
    EXPECT_EQ(Cut("S", NULL, "", 7), Literal("ab\0cd"));  // size - 2: cut
    EXPECT_EQ(Cut("S", NULL, "", 6), Literal("ab\0c"));
}

TEST_F(ProfileRead, SectionListingShowsEveryEntryButCommentsAndBlankLines)
{
    Given("[S]\r\n;c=1\r\n\t; spaced=2\r\n#h=3\r\nbare \r\n\r\n  k  =  v w  \r\nempty=\r\n = y\r\nq=\"quoted\"\r\n"
          "[T]\r\n; only\r\n\r\n");
    EXPECT_EQ(Listing("S"), Literal("#h=3\0bare\0k=v w\0empty=\0=y\0q=\"quoted\"\0"));
    EXPECT_EQ(Listing("T"), "");
}

TEST_F(ProfileRead, SectionListingShowsEntriesThatTheKeyListHides)
{
    // A name starting with a NUL byte is an empty name; without "=" it is
    // not listed at all.
    Given(Literal("[MSEMS]\r\n=stray\r\nPR_SERVICE_DLL_NAME=custom.dll\r\n[N]\r\n\0abc=1\r\n\0only\r\nk=a\0b\r\n"));
    EXPECT_EQ(Cut("MSEMS", NULL, "", 1024), "");
    EXPECT_EQ(Listing("MSEMS"), Literal("=stray\0PR_SERVICE_DLL_NAME=custom.dll\0"));
    EXPECT_EQ(Listing("N"), Literal("=1\0k=a\0"));
}

TEST_F(ProfileRead, SectionListingIsOfTheFirstSectionMatchedUntrimmed)
{
    Given("[ S ]\r\nk=v\r\n[T]\r\nt=1\r\n[s]\r\nb=2\r\ntop=1\r\n");
    EXPECT_EQ(Listing("s"), Literal("k=v\0"));
    EXPECT_EQ(Listing(" S"), "");
    EXPECT_EQ(Listing("Absent"), "");
}

TEST_F(ProfileRead, SectionListingThatDoesNotFitIsCutToSizeMinusTwo)
{
    Given("[S]\r\nab=1\r\ncd=2\r\n");
    EXPECT_EQ(Listing("S", 12), Literal("ab=1\0cd=2\0"));
    EXPECT_EQ(Listing("S", 11), Literal("ab=1\0cd=2"));
    EXPECT_EQ(Listing("S", 9), Literal("ab=1\0cd"));
    EXPECT_EQ(Listing("S", 7), Literal("ab=1\0"));
    EXPECT_EQ(Listing("S", 3), "a");
    EXPECT_EQ(Listing("S", 2), "");
}

TEST_F(ProfileRead, HeaderEndsAtTheLastClosingBracket)
{
    Given("[A]b]trailing\nk=1\n  [C] text\nk=2\n");
    EXPECT_EQ(Get("A]b", "k"), "1");
    EXPECT_EQ(Get("A", "k"), "");
    EXPECT_EQ(Get("C", "k"), "2");
}

TEST_F(ProfileRead, HeaderNeedsABracketFirstOnItsLine)
{
    Given("k=[Not]\n  [Indented]\nx=1\n\t\x1a[Tabbed]\ry=2\nkey[Not]=3\n;[Commented]\nz=4\n\xEF\xBB\xBF[Mark]\nm=5\n");
    EXPECT_EQ(Get("", "k"), "[Not]");
    EXPECT_EQ(Get("Indented", "x"), "1");
    EXPECT_EQ(Get("Tabbed", "y"), "2");
    EXPECT_EQ(Get("Tabbed", "key[Not]"), "3");
    EXPECT_EQ(Get("Tabbed", "z"), "4");
    EXPECT_EQ(Keys("Not"), Names{});
    EXPECT_EQ(Keys("Commented"), Names{});
    // A byte-order mark counts only at the very start of the file.
    EXPECT_EQ(Keys("Mark"), Names{});
    EXPECT_EQ(Get("Tabbed", "\xEF\xBB\xBF[Mark]"), "");
    EXPECT_EQ(Get("Tabbed", "m"), "5");
}

TEST_F(ProfileRead, EachSectionKeepsItsOwnLineEndings)
{
    // Sections far apart that end their lines differently.
    std::string filler(100000, 'x');
    Given("[A]\nk1=1\nk2=2\n;" + filler + "\n[B]\rk3=3\rk4=4\r;" + filler + "\r[C]\r\nk5=5\r\nk6=6");
    EXPECT_EQ(Get("A", "k2"), "2");
    EXPECT_EQ(Get("B", "k3"), "3");
    EXPECT_EQ(Get("B", "k4"), "4");
    EXPECT_EQ(Get("C", "k6"), "6");
    EXPECT_EQ(Keys("B"), (Names{"k3", "k4"}));
}

TEST_F(ProfileRead, EachOfManySectionsIsFoundByItsName)
{
    std::string bytes;
    for (int i = 0; i < 20000; i++)
        bytes += "[Section" + std::to_string(i) + "]\r\nvalue=" + std::to_string(i) + "\r\n";
    Given(bytes);
    for (int i : {0, 1, 9999, 12345, 19999})
        EXPECT_EQ(Get(("SECTION" + std::to_string(i)).c_str(), "value"), std::to_string(i)) << i;
    EXPECT_EQ(Keys("Section20000"), Names{});
    EXPECT_EQ(Keys("Section"), Names{});
}

TEST_F(ProfileRead, FirstSectionAndFirstKeyWin)
{
    Given("[S]\nk=first\nK=second\n[T]\n[s]\nk=third\nonly=x\n");
    EXPECT_EQ(Get("S", "k"), "first");
    EXPECT_EQ(Keys("S"), (Names{"k", "K"}));
    EXPECT_EQ(Get("S", "only"), "");
}

TEST_F(ProfileRead, LinesBeforeTheFirstHeaderBelongToTheNamelessSection)
{
    Given("top=1\n[S]\nk=v\n[]\nx=2\n");
    EXPECT_EQ(Get("S", "top"), "");
    EXPECT_EQ(Get("", "top"), "1");
    EXPECT_EQ(Get("", "x"), "");
}

TEST_F(ProfileRead, AllLineEndingsAndAByteOrderMark)
{
    Given("\xEF\xBB\xBF[A]\rk1=1\r[B]\nk2=2\r\n[C]\r\n\r\nk3=3");
    EXPECT_EQ(Get("A", "k1"), "1");
    EXPECT_EQ(Get("B", "k2"), "2");
    EXPECT_EQ(Get("C", "k3"), "3");
}

TEST_F(ProfileRead, NamesAndValuesEndAtANulByte)
{
    Given(Literal("[N]\nn=ab\0cd\nk\0x=3\nm=after\n[S\0]\nz=1\n"));
    EXPECT_EQ(Get("N", "n"), "ab");
    EXPECT_EQ(Get("N", "k"), "3");
    EXPECT_EQ(Get("N", "m"), "after");
    EXPECT_EQ(Get("S", "z"), "1");
}

TEST_F(ProfileRead, MissingValuesGiveTheDefault)
{
    Given("[S]\nk=v\n");
    EXPECT_EQ(Get("S", "absent", "  fallback  "), "  fallback");
    // Trailing spaces go first, then one pair of enclosing quotes.
    EXPECT_EQ(Get("S", "absent", "\"q\"  "), "q");
    EXPECT_EQ(Get("S", "absent", "'q'"), "q");
    EXPECT_EQ(Get("S", "absent", " \"q\""), " \"q\"");
    EXPECT_EQ(Get("S", "absent", "\"q"), "\"q");
    EXPECT_EQ(Get("Absent", "k", NULL), "");
    EXPECT_EQ(Keys("Absent"), Names{});
}

TEST_F(ProfileRead, MissingOrUnreadableFileReadsAsEmpty)
{
    file = dir / "absent.inf";
    EXPECT_EQ(Get("S", "k", "d"), "d");
    file = dir.Path();
    EXPECT_EQ(Get("S", "k"), "");
    EXPECT_EQ(Keys("S"), Names{});
}

TEST_F(ProfileRead, ResultsAreCutToTheBuffer)
{
#ifdef _WIN32
    GTEST_SKIP() << "Wine leaves the last byte of a cut key list as it was";
#endif
    Given("[S]\nk=verylongvalue\nk1=1\nK2=2\n");
    char buffer[8];
    EXPECT_EQ(GetPrivateProfileStringA("S", "k", "", buffer, 5, file.string().c_str()), 4u);
    EXPECT_STREQ(buffer, "very");
    EXPECT_EQ(GetPrivateProfileStringA("S", "k", "", buffer, 1, file.string().c_str()), 0u);
    EXPECT_EQ(GetPrivateProfileStringA("S", "k", "", buffer, 0, file.string().c_str()), 0u);
    // A cut list still ends with two NULs and reports size - 2.
    memset(buffer, 'X', sizeof buffer);
    EXPECT_EQ(GetPrivateProfileStringA("S", NULL, "", buffer, 7, file.string().c_str()), 5u);
    EXPECT_EQ(std::string(buffer, 7), Literal("k\0k1\0\0\0"));
    EXPECT_EQ(GetPrivateProfileStringA("S", NULL, "", buffer, 2, file.string().c_str()), 0u);
    EXPECT_EQ(buffer[0], '\0');
}

TEST_F(ProfileRead, Utf8FileGivesItsOwnBytes)
{
#ifdef _WIN32
    GTEST_SKIP() << "the Win32 functions give a UTF-8 file's text in the ANSI code page";
#endif
    Given("\xEF\xBB\xBF[\xC3\x89t\xC3\xA9]\nk=\xE2\x82\xAC \xC3\xA9\n");
    EXPECT_EQ(Get("\xC3\x89t\xC3\xA9", "k"), "\xE2\x82\xAC \xC3\xA9");
}

TEST_F(ProfileRead, OnlyAsciiLettersMatchInEitherCase)
{
    Given("[\xC9t\xE9]\nk=1\n\xC9=2\n");
    EXPECT_EQ(Get("\xC9T\xE9", "K", "d"), "1");
    EXPECT_EQ(Get("\xE9t\xE9", "k", "d"), "d");
    EXPECT_EQ(Get("\xC9t\xE9", "\xE9", "d"), "d");
}

TEST_F(ProfileRead, ChangesOnDiskAreSeenByLaterReads)
{
    Given("[S]\nk=old\n");
    EXPECT_EQ(Get("S", "k"), "old");
    Given("[S]\nk=newer value\n");
    EXPECT_EQ(Get("S", "k"), "newer value");
}

}  // namespace

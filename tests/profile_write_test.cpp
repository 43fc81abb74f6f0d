// Updating a profile file through the POSIX profile layer: every byte that
// an update does not replace stays, and the file is replaced in one step.
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>

#include "platform/posix/file_errors.h"
#include "platform/profile.h"
#include "test_support.h"

namespace {


class ProfileWrite : public ::testing::Test {
protected:
    ScratchDirectory dir;
    fs::path file = dir / "write.inf";

    bool begun = false;

    void TearDown() override { AbandonProfileUpdate(file.c_str()); }

    // Steps 1 to 3 of an update of the file: taken before the first write
    // after the file was written or flushed.
    bool Begin()
    {
        char profile[MAX_PATH], draft[MAX_PATH];
        begun = LocateProfile(file.c_str(), profile, sizeof profile) && ReadProfile(profile) &&
                BeginProfileUpdate(profile, draft, sizeof draft);
        return begun;
    }
    void Put(const char *section, const char *key, const char *value)
    {
        if (!begun)
            Begin();
        EXPECT_TRUE(WritePrivateProfileStringA(section, key, value, file.c_str())) << section << "/" << key;
    }
    bool Flush()
    {
        begun = false;
        return WritePrivateProfileStringA(NULL, NULL, NULL, file.c_str());
    }

    // The file after writing key=value into section and flushing.
    std::string After(const std::string &before, const char *section, const char *key, const char *value)
    {
        WriteBytes(file, before);
        Put(section, key, value);
        EXPECT_TRUE(Flush());
        return ReadBytes(file);
    }
};

TEST_F(ProfileWrite, ReplacedValueKeepsItsLineAndTheKeysSpelling)
{
    EXPECT_EQ(After("[S]\r\n  Key = old  \r\nnext=1\r\n", "s", "KEY", "new"), "[S]\r\n  Key = new\r\nnext=1\r\n");
    EXPECT_EQ(After("[S]\nk=\nz=1\n", "S", "k", "v"), "[S]\nk=v\nz=1\n");
}

TEST_F(ProfileWrite, LineHoldingOnlyTheNameIsReplaced)
{
    EXPECT_EQ(After("[S]\n bare \nz=1\n", "S", "bare", "v"), "[S]\n bare=v\nz=1\n");
}

TEST_F(ProfileWrite, NewKeyFollowsTheSectionsLastKey)
{
    EXPECT_EQ(After("[A]\nx=1\n; note\n\n[B]\ny=2\n", "A", "k", "v"), "[A]\nx=1\nk=v\n; note\n\n[B]\ny=2\n");
    EXPECT_EQ(After("[A]\n\n\n[B]\n", "A", "k", "v"), "[A]\nk=v\n\n\n[B]\n");
    EXPECT_EQ(After("[A]\nother text\n\n", "A", "k", "v"), "[A]\nother text\nk=v\n\n");
}

TEST_F(ProfileWrite, WritesBuildOnEachOtherInOrder)
{
    WriteBytes(file, "[A]\r\nx=1\r\n; note\r\n[B]\r\nbare\r\n[C]\r\ny=2");
    Put("A", "k1", "1");
    Put("A", "k2", "2");
    Put("A", "k1", "one");
    Put("A", "x", "ex");
    Put("B", "bare", "b");
    Put("B", "n", "n");
    Put("C", "z", "3");
    Put("New", "k", "v");
    Put("New", "k2", "v2");
    Put("C", "w", "4");
    Put("New", "k", "v1");
    char value[16];
    GetPrivateProfileStringA("A", "k1", "", value, sizeof value, file.c_str());
    EXPECT_STREQ(value, "one");
    EXPECT_TRUE(Flush());
    EXPECT_EQ(ReadBytes(file), "[A]\r\nx=ex\r\nk1=one\r\nk2=2\r\n; note\r\n[B]\r\nbare=b\r\nn=n\r\n"
                               "[C]\r\ny=2\r\nz=3\r\nw=4\r\n[New]\r\nk=v1\r\nk2=v2\r\n");
}

TEST_F(ProfileWrite, NewSectionIsAppendedAfterAFinalLineBreak)
{
    EXPECT_EQ(After("[A]\r\nx=1", "New", "k", "v"), "[A]\r\nx=1\r\n[New]\r\nk=v\r\n");
    EXPECT_EQ(After("[A]\nx=1\n\n", "New", "k", "v"), "[A]\nx=1\n\n[New]\nk=v\n");
    EXPECT_EQ(After("[A]", "A", "k", "v"), "[A]\r\nk=v\r\n");
}

TEST_F(ProfileWrite, NewLinesUseTheFilesLineEnding)
{
    EXPECT_EQ(After("", "S", "k", "v"), "[S]\r\nk=v\r\n");
    EXPECT_EQ(After("; lf\n[A]\r\n", "S", "k", "v"), "; lf\n[A]\r\n[S]\nk=v\n");
    EXPECT_EQ(After("[A]\rx=1\r", "A", "k", "v"), "[A]\rx=1\rk=v\r");
}

TEST_F(ProfileWrite, NewKeyDoesNotSwallowABlankLine)
{
    // The file's CR before the blank line's LF would make one line break of two.
    EXPECT_EQ(After("[A]\rx=1\n\n[B]\r\n", "A", "k", "v"), "[A]\rx=1\nk=v\n\n[B]\r\n");
    EXPECT_EQ(After("[A]\r\n\n[B]\r", "A", "k", "v"), "[A]\r\nk=v\r\n\n[B]\r");
    EXPECT_EQ(After("[A]\rx=1\r\r\n", "A", "k", "v"), "[A]\rx=1\rk=v\r\r\n");
}

TEST_F(ProfileWrite, ByteOrderMarkStays)
{
    EXPECT_EQ(After("\xEF\xBB\xBF[A]\n", "A", "k", "v"), "\xEF\xBB\xBF[A]\nk=v\n");
    EXPECT_EQ(After("\xEF\xBB\xBF", "", "k", "v"), "\xEF\xBB\xBFk=v\r\n");
}

// The Win32 functions, which rewrite the whole file, cut each line at a NUL.
TEST_F(ProfileWrite, EveryOtherByteStays)
{
    std::string before = Literal(
        "junk\0\xff\xfe line\r\n"
        "[A]  trailing words\r\n"
        "  spaced  =  \"quoted\"  \r\n"
        "[Open\n"
        "\t; comment = yes\r\n"
        "nul=a\0b\r"
        "\r\n"
        "[B]\n"
        "x=\x80\x81\n");
    std::string after = After(before, "A", "k", "v");
    std::string expected = before;
    expected.insert(expected.find("b\r\r\n[B]") + 2, "k=v\r\n");  // after the last key, before the blank line
    EXPECT_EQ(after, expected);
}

TEST_F(ProfileWrite, FirstOfDuplicateSectionsAndKeysIsWritten)
{
    EXPECT_EQ(After("[S]\nk=1\nk=2\n[S]\nk=3\n", "S", "k", "v"), "[S]\nk=v\nk=2\n[S]\nk=3\n");
    EXPECT_EQ(After("[S]\na=1\n[S]\nb=2\n", "S", "b", "v"), "[S]\na=1\nb=v\n[S]\nb=2\n");
}

TEST_F(ProfileWrite, LargeFileChangesOnlyWhereWritten)
{
    std::string before = "; many sections\r\n";
    for (int i = 0; i < 30000; i++)
        before += "[S" + std::to_string(i) + "]\r\nk=" + std::to_string(i) + "\r\n\r\n";
    WriteBytes(file, before);
    Put("s10", "k", "ten");
    Put("S20000", "added", "yes");
    Put("New", "a", "1");
    Put("S29999", "k", "last");
    Put("new", "b", "2");
    EXPECT_TRUE(Flush());

    std::string expected = before;
    expected.insert(expected.find("[S20000]\r\nk=20000\r\n") + 19, "added=yes\r\n");
    expected.replace(expected.find("[S10]\r\nk=10\r\n") + 9, 2, "ten");
    expected.replace(expected.find("[S29999]\r\nk=29999\r\n") + 12, 5, "last");
    expected += "[New]\r\na=1\r\nb=2\r\n";
    // Compared by hand: a failure shows where the texts part, not both in full.
    std::string after = ReadBytes(file);
    auto [differs, _] = std::mismatch(after.begin(), after.end(), expected.begin(), expected.end());
    EXPECT_TRUE(after == expected) << "sizes " << after.size() << " and " << expected.size() << ", first difference at "
                                   << (differs - after.begin()) << ": "
                                   << after.substr(static_cast<size_t>(differs - after.begin()), 40);
}

TEST_F(ProfileWrite, NothingReachesTheDiskBeforeTheFlush)
{
    WriteBytes(file, "[S]\nk=1\n");
    ino_t before = InodeOf(file);
    Put("S", "k", "2");
    Put("S", "new", "3");
    Put("T", "x", "4");
    EXPECT_EQ(ReadBytes(file), "[S]\nk=1\n");
    char value[16];
    EXPECT_EQ(GetPrivateProfileStringA("T", "x", "", value, sizeof value, file.c_str()), 1u);
    EXPECT_TRUE(Flush());
    EXPECT_EQ(ReadBytes(file), "[S]\nk=2\nnew=3\n[T]\nx=4\n");
    EXPECT_NE(InodeOf(file), before);  // replaced, not rewritten in place
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"write.inf"});
}

TEST_F(ProfileWrite, UnchangedFileIsNotReplaced)
{
    WriteBytes(file, "[S]\nk=v\n");
    ino_t before = InodeOf(file);
    Put("S", "K", "v");
    EXPECT_TRUE(Flush());
    EXPECT_TRUE(Flush());
    EXPECT_EQ(InodeOf(file), before);
}

TEST_F(ProfileWrite, AbandonedWritesAreDropped)
{
    WriteBytes(file, "[S]\n");
    Put("S", "k", "v");
    AbandonProfileUpdate(file.c_str());
    EXPECT_TRUE(Flush());
    EXPECT_EQ(ReadBytes(file), "[S]\n");
}

TEST_F(ProfileWrite, NamesAndValuesThatWouldBreakTheFileAreRefused)
{
    WriteBytes(file, "[S]\n");
    // Blank keys have no name to read them by; a key that starts with "[" on a
    // line that holds a "]" would read as a header (the Win32 functions write
    // it all the same).
    const char *refused[][3] = {{"S", "k", "a\nb"},     {"S", "k\r", "v"}, {"S]\n[T", "k", "v"},
                                {"S", "a=b", "v"},      {"S", " ", "v"},   {"S", "\v\x1a\f", "v"},
                                {"S", " [a", "b]"},     {"S", "[a]", "v"}, {"S", "k", NULL},
                                {"S", "[k", "a]"},      {"S", " [k]", "v"}};
    for (const auto &call : refused) {
        errno = 0;
        EXPECT_FALSE(WritePrivateProfileStringA(call[0], call[1], call[2], file.c_str()));
        EXPECT_EQ(errno, EINVAL);
    }
    EXPECT_TRUE(Flush());
    EXPECT_EQ(ReadBytes(file), "[S]\n");
}

TEST_F(ProfileWrite, KeyStartingWithAByteOrderMarkIsRefused)
{
    // Written before the first header of a file, such a key starts the file:
    // the file would then read as UTF-16, that is not at all, or the mark
    // would be taken off the key's name.
    WriteBytes(file, "; comment\n[S]\nk=v\n");
    for (const char *key : {"\xFF\xFEk", "\xFE\xFFk", "\xEF\xBB\xBFk", "\t\xFF\xFE"}) {
        errno = 0;
        EXPECT_FALSE(WritePrivateProfileStringA("", key, "v", file.c_str()));
        EXPECT_EQ(errno, EINVAL);
    }
    // Such bytes further on in a name are harmless.
    Put("", "k\xFF\xFE", "1");
    EXPECT_TRUE(Flush());
    EXPECT_EQ(ReadBytes(file), "k\xFF\xFE=1\n; comment\n[S]\nk=v\n");
    char value[16];
    EXPECT_EQ(GetPrivateProfileStringA("S", "k", "", value, sizeof value, file.c_str()), 1u);
    EXPECT_EQ(GetPrivateProfileStringA("", "k\xFF\xFE", "", value, sizeof value, file.c_str()), 1u);
}

TEST_F(ProfileWrite, KeyThatLooksLikeAHeaderStartIsWritten)
{
    EXPECT_EQ(After("[S]\n", "S", "[a", "b"), "[S]\n[a=b\n");
    char value[16];
    EXPECT_EQ(GetPrivateProfileStringA("S", "[a", "", value, sizeof value, file.c_str()), 1u);
    EXPECT_STREQ(value, "b");
}

TEST_F(ProfileWrite, FileThatTheReadsCouldNotReadIsNotUpdated)
{
    // What the update writes rests on the read, even when the file can be
    // read by the time the update starts.
    ASSERT_EQ(mkfifo(file.c_str(), 0644), 0);
    char profile[MAX_PATH], draft[MAX_PATH];
    ASSERT_TRUE(LocateProfile(file.c_str(), profile, sizeof profile));
    EXPECT_FALSE(ReadProfile(profile));
    fs::remove(file);
    WriteBytes(file, "[Services]\nMSEMS=Mine\n");
    errno = 0;
    EXPECT_FALSE(BeginProfileUpdate(profile, draft, sizeof draft));
    EXPECT_EQ(errno, emsgraft::kFifo);  // why the read failed
    EXPECT_TRUE(ReadProfile(profile));
    EXPECT_TRUE(BeginProfileUpdate(profile, draft, sizeof draft));
    EXPECT_EQ(ReadBytes(file), "[Services]\nMSEMS=Mine\n");
}

TEST_F(ProfileWrite, MissingFileIsNeverCreated)
{
    file = dir / "new.inf";
    errno = 0;
    EXPECT_FALSE(Begin());
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(WritePrivateProfileStringA("S", "k", "v", file.c_str()));
    EXPECT_TRUE(Flush());  // nothing to write
    EXPECT_TRUE(dir.Entries().empty());
}

TEST_F(ProfileWrite, UnreadableFileIsNotWritten)
{
    file = dir.Path();
    char profile[MAX_PATH], draft[MAX_PATH];
    ASSERT_TRUE(LocateProfile(file.c_str(), profile, sizeof profile));
    EXPECT_FALSE(ReadProfile(profile));
    errno = 0;
    EXPECT_FALSE(WritePrivateProfileStringA("S", "k", "v", file.c_str()));
    EXPECT_EQ(errno, EISDIR);
    EXPECT_FALSE(BeginProfileUpdate(profile, draft, sizeof draft));
    EXPECT_EQ(errno, EISDIR);
}

TEST_F(ProfileWrite, FailedFlushLeavesFileAndDirectoryAsTheyWere)
{
    std::string before = "[S]\nk=1\n";
    WriteBytes(file, before);
    Put("S", "big", std::string(4096, 'x').c_str());
    struct rlimit saved;
    getrlimit(RLIMIT_FSIZE, &saved);
    struct rlimit small = {1024, saved.rlim_max};
    auto previous = signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    errno = 0;
    bool flushed = Flush();
    int error = errno;
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previous);
    EXPECT_FALSE(flushed);
    EXPECT_EQ(error, EFBIG);
    EXPECT_EQ(ReadBytes(file), before);
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"write.inf"});
}

TEST_F(ProfileWrite, LinkIsFollowedToAnotherDirectory)
{
    fs::create_directory(dir / "real");
    fs::path target = dir / "real" / "target.inf";
    WriteBytes(target, "[S]\n");
    fs::create_symlink(target, file);
    Put("S", "k", "v");
    EXPECT_TRUE(Flush());
    EXPECT_TRUE(fs::is_symlink(file));
    EXPECT_EQ(ReadBytes(target), "[S]\nk=v\n");
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"real", "write.inf"}));
    EXPECT_EQ(fs::directory_iterator(dir / "real")->path(), target);
}

TEST_F(ProfileWrite, LocatedPathIsThePathItself)
{
    char profile[MAX_PATH];
    EXPECT_TRUE(LocateProfile("mapisvc.inf", profile, sizeof profile));
    EXPECT_STREQ(profile, "mapisvc.inf");
    EXPECT_FALSE(LocateProfile(std::string(MAX_PATH, 'a').c_str(), profile, sizeof profile));
}

}  // namespace

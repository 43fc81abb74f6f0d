// The Windows platform layer over the real Win32 functions (run under Wine):
// which file the profile functions reach, the copy kept during an update, and
// writes that the Win32 functions accept but that never reach the disk.
#include <gtest/gtest.h>
#include <windows.h>

#include "platform/profile.h"
#include "test_support.h"

namespace {

const char kBefore[] = "[Services]\r\nMSFAX XP=Microsoft Fax\r\n[Other]\r\nk=v\r\n";

std::string CurrentDirectory()
{
    char buffer[MAX_PATH];
    DWORD length = GetCurrentDirectoryA(sizeof buffer, buffer);
    return std::string(buffer, length);
}

class Win32Profile : public ::testing::Test {
protected:
    ScratchDirectory dir;
    fs::path file = dir / "mapisvc.inf";
    std::string path = file.string();
    std::string previousDirectory = CurrentDirectory();

    void SetUp() override { WriteBytes(file, kBefore); }
    void TearDown() override
    {
        if (draft[0] != '\0')
            AbandonProfileUpdate(draft);
        SetCurrentDirectoryA(previousDirectory.c_str());
    }
    // Steps 1 to 3 of an update of the file: the draft that the writes go to.
    bool Begin()
    {
        char profile[MAX_PATH];
        return LocateProfile(path.c_str(), profile, sizeof profile) && ReadProfile(profile) &&
               BeginProfileUpdate(profile, draft, sizeof draft);
    }
    char draft[MAX_PATH] = "";
    std::string Get(const char *section, const char *key, const std::string &from)
    {
        char value[256];
        DWORD length = GetPrivateProfileStringA(section, key, "", value, sizeof value, from.c_str());
        return std::string(value, length);
    }
};

TEST_F(Win32Profile, BareNameReachesTheFileInTheCurrentDirectory)
{
    ASSERT_TRUE(SetCurrentDirectoryA(dir.Path().string().c_str()));
    // The fault being mended: the Win32 functions look for a bare name in the
    // Windows directory.
    EXPECT_EQ(Get("Services", "MSFAX XP", "mapisvc.inf"), "");

    char resolved[MAX_PATH];
    ASSERT_TRUE(LocateProfile("mapisvc.inf", resolved, sizeof resolved));
    EXPECT_EQ(std::string(resolved), CurrentDirectory() + "\\mapisvc.inf");
    EXPECT_EQ(Get("Services", "MSFAX XP", resolved), "Microsoft Fax");
}

TEST_F(Win32Profile, DriveRelativeNameReachesTheFileInThatDrivesDirectory)
{
    ASSERT_TRUE(SetCurrentDirectoryA(dir.Path().string().c_str()));
    std::string driveRelative = CurrentDirectory().substr(0, 2) + "mapisvc.inf";  // e.g. "C:mapisvc.inf"
    char resolved[MAX_PATH];
    ASSERT_TRUE(LocateProfile(driveRelative.c_str(), resolved, sizeof resolved));
    EXPECT_EQ(Get("Services", "MSFAX XP", resolved), "Microsoft Fax");
}

TEST_F(Win32Profile, NameWithADirectoryIsKept)
{
    char resolved[MAX_PATH];
    for (const char *name : {"sub\\mapisvc.inf", "./mapisvc.inf", "..\\x.inf", "C:\\x.inf"}) {
        ASSERT_TRUE(LocateProfile(name, resolved, sizeof resolved)) << name;
        EXPECT_STREQ(resolved, name);
    }
    EXPECT_FALSE(LocateProfile(("C:\\" + std::string(MAX_PATH, 'a')).c_str(), resolved, sizeof resolved));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILENAME_EXCED_RANGE);
}

TEST_F(Win32Profile, UpdateKeepsACopyOfTheOriginalBesideIt)
{
    ASSERT_TRUE(Begin());
    std::vector<std::string> entries = dir.Entries();
    ASSERT_EQ(entries.size(), 2u);
    std::string copy = entries[0] == "mapisvc.inf" ? entries[1] : entries[0];
    EXPECT_EQ(ReadBytes(dir / copy), kBefore);
    EXPECT_TRUE(CommitProfileUpdate(draft));
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"mapisvc.inf"});
}

TEST_F(Win32Profile, CommitNoticesAWriteThatNeverReachedTheDisk)
{
    ASSERT_TRUE(Begin());
    ASSERT_TRUE(WritePrivateProfileStringA("Services", "MSEMS", "Microsoft Exchange Server", draft));
    WriteBytes(file, kBefore);  // as if the disk had refused the write
    EXPECT_FALSE(CommitProfileUpdate(draft));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_WRITE_FAULT);
    AbandonProfileUpdate(draft);
    EXPECT_EQ(ReadBytes(file), kBefore);
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"mapisvc.inf"});
}

TEST_F(Win32Profile, CommitNoticesLostLinesOfTheOriginal)
{
    ASSERT_TRUE(Begin());
    ASSERT_TRUE(WritePrivateProfileStringA("Services", "MSEMS", "Microsoft Exchange Server", draft));
    // The write is there, but the file was cut after it.
    WriteBytes(file, "[Services]\r\nMSFAX XP=Microsoft Fax\r\nMSEMS=Microsoft Exchange Server\r\n");
    EXPECT_FALSE(CommitProfileUpdate(draft));
    AbandonProfileUpdate(draft);
    EXPECT_EQ(ReadBytes(file), kBefore);
}

TEST_F(Win32Profile, CommitAcceptsValuesThatReadBackTrimmedAndUnquoted)
{
    ASSERT_TRUE(Begin());
    ASSERT_TRUE(WritePrivateProfileStringA("Other", "quoted", "\"a value\"", draft));
    ASSERT_TRUE(WritePrivateProfileStringA("Other", "spaced", "  b  ", draft));
    ASSERT_TRUE(WritePrivateProfileStringA("Other", "single", " 'c' ", draft));
    EXPECT_TRUE(CommitProfileUpdate(draft));
    EXPECT_EQ(Get("Other", "quoted", path), "a value");
    EXPECT_EQ(Get("Other", "single", path), "c");
}

TEST_F(Win32Profile, HiddenFileIsRestoredWithItsAttributes)
{
    ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(Begin());
    ASSERT_TRUE(WritePrivateProfileStringA("Services", "MSEMS", "Microsoft Exchange Server", draft));
    AbandonProfileUpdate(draft);
    EXPECT_EQ(ReadBytes(file), kBefore);
    EXPECT_TRUE(GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"mapisvc.inf"});
}

TEST(Win32LastError, GivesTheSystemsTextOnOneLine)
{
    char message[256];
    SetLastError(ERROR_ACCESS_DENIED);
    LastErrorMessage(message, sizeof message);
    std::string text = message;
    EXPECT_NE(text.find("ccess"), std::string::npos) << text;
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;

    SetLastError(0x20000001);  // an application's own code: no system text
    LastErrorMessage(message, sizeof message);
    EXPECT_STREQ(message, "error 536870913");

    SetLastError(0);  // a failed call that set no code
    LastErrorMessage(message, sizeof message);
    EXPECT_STREQ(message, "the write was refused");

    LastErrorMessage(message, 6);
    EXPECT_STREQ(message, "the w");
}

}  // namespace

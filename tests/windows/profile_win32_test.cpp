// The Windows platform layer over the real Win32 functions (run under Wine):
// which file the profile functions reach, the draft that an update writes,
// and drafts whose writes the Win32 functions accepted but that never reached
// the disk whole.
#include <gtest/gtest.h>
#include <windows.h>

#include "mapi/installed_service_file.h"
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

class Win32Profile : public ProfileFixture {
protected:
    std::string previousDirectory = CurrentDirectory();

    void SetUp() override { WriteBytes(file, kBefore); }
    void TearDown() override
    {
        if (draft[0] != '\0')
            AbandonProfileUpdate(draft);
        SetCurrentDirectoryA(previousDirectory.c_str());
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

TEST_F(Win32Profile, NameWithADirectoryIsTheFullPathFromTheCurrentDirectory)
{
    char resolved[MAX_PATH], full[MAX_PATH];
    for (const char *name : {"sub\\mapisvc.inf", "./mapisvc.inf", "..\\x.inf", "C:\\x.inf"}) {
        ASSERT_TRUE(LocateProfile(name, resolved, sizeof resolved)) << name;
        ASSERT_NE(GetFullPathNameA(name, sizeof full, full, NULL), 0u);
        EXPECT_STREQ(resolved, full);
    }
    EXPECT_FALSE(LocateProfile(("C:\\" + std::string(MAX_PATH, 'a')).c_str(), resolved, sizeof resolved));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILENAME_EXCED_RANGE);
}

TEST_F(Win32Profile, WritesGoToADraftBesideTheFileUntilTheCommit)
{
    ASSERT_TRUE(Begin());
    std::string name = fs::path(draft).filename().string();
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{name, "mapisvc.inf"}));
    EXPECT_EQ(name.substr(0, 3), "emg");
    EXPECT_EQ(ReadBytes(draft), kBefore);
    ASSERT_TRUE(WritePrivateProfileStringA("Services", "MSEMS", "Microsoft Exchange Server", draft));
    EXPECT_EQ(ReadBytes(file), kBefore);
    EXPECT_TRUE(CommitProfileUpdate(draft));
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"mapisvc.inf"});
    EXPECT_EQ(Get("Services", "MSEMS", path), "Microsoft Exchange Server");
}

// What the draft on disk may hold instead of the writes: each is refused,
// and the file and its directory stay as they were.
TEST_F(Win32Profile, CommitRefusesADraftThatLostWritesOrLinesOfTheOriginal)
{
    const char *const lost[] = {
        kBefore,  // the write never reached the disk
        // the write is there, but the file was cut after it
        "[Services]\r\nMSFAX XP=Microsoft Fax\r\nMSEMS=Microsoft Exchange Server\r\n",
        "[Services]\r\nMSFAX XP=Microsoft Fax\r\nMSEMS=Microsoft Exchange Server\r\n[Other]\r\n",
        "[Services]\r\nMSFAX XP=Microsoft Fax\r\nMSEMS=Microsoft Exchange Server\r\n[Other]\r\nk=\r\n",
        // sections out of their order
        "[Other]\r\nk=v\r\n[Services]\r\nMSFAX XP=Microsoft Fax\r\nMSEMS=Microsoft Exchange Server\r\n",
    };
    for (const char *draftBytes : lost) {
        ASSERT_TRUE(Begin());
        ASSERT_TRUE(WritePrivateProfileStringA("Services", "MSEMS", "Microsoft Exchange Server", draft));
        WriteBytes(draft, draftBytes);
        EXPECT_FALSE(CommitProfileUpdate(draft)) << draftBytes;
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_PROFILE_COPY_INCOMPLETE);
        AbandonProfileUpdate(draft);
        draft[0] = '\0';
        EXPECT_EQ(ReadBytes(file), kBefore);
        EXPECT_EQ(dir.Entries(), std::vector<std::string>{"mapisvc.inf"});
    }
}

TEST_F(Win32Profile, CommitAcceptsWhatTheProfileFunctionsTidy)
{
    // Wine's writer drops blank lines and headers without a name, trims
    // names and values; a value written may be shorter than the one it replaces.
    const char before[] = "pre=1\r\n[Other]\r\n  k  =  v  \r\n\r\n[]\r\njoined=1\r\n"
                          "[Default Services]\r\nMSEMS=a value longer than the one written\r\n";
    WriteBytes(file, before);
    ASSERT_TRUE(Begin());
    ASSERT_TRUE(WritePrivateProfileStringA("Default Services", "MSEMS", "Microsoft Exchange Server", draft));
    ASSERT_TRUE(WritePrivateProfileStringA("Other", "quoted", "\"a value\"", draft));
    ASSERT_TRUE(WritePrivateProfileStringA("Other", "spaced", "  b  ", draft));
    ASSERT_TRUE(WritePrivateProfileStringA("Other", "single", " 'c' ", draft));
    EXPECT_TRUE(CommitProfileUpdate(draft));
    EXPECT_EQ(Get("Other", "quoted", path), "a value");
    EXPECT_EQ(Get("Other", "single", path), "c");
    EXPECT_EQ(Get("Other", "joined", path), "1");
}

TEST_F(Win32Profile, AnUpdateOvertakenByAnotherProgramFailsAsChanged)
{
    char profile[MAX_PATH];
    ASSERT_TRUE(LocateProfile(path.c_str(), profile, sizeof profile));
    ASSERT_TRUE(ReadProfile(profile));
    const std::string other = std::string(kBefore) + "[Theirs]\r\nx=1\r\n";
    WriteBytes(file, other);
    EXPECT_FALSE(BeginProfileUpdate(profile, draft, sizeof draft));
    EXPECT_TRUE(ProfileChangedSinceRead());
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"mapisvc.inf"});

    WriteBytes(file, kBefore);
    ASSERT_TRUE(Begin());
    ASSERT_TRUE(WritePrivateProfileStringA("Services", "MSEMS", "Microsoft Exchange Server", draft));
    WriteBytes(file, other);
    EXPECT_FALSE(CommitProfileUpdate(draft));
    EXPECT_TRUE(ProfileChangedSinceRead());
    AbandonProfileUpdate(draft);
    EXPECT_EQ(ReadBytes(file), other);
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"mapisvc.inf"});
}

TEST_F(Win32Profile, HiddenAndSystemFilesKeepTheirAttributes)
{
    const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    ASSERT_TRUE(SetFileAttributesA(path.c_str(), kept));
    ASSERT_TRUE(Begin());
    ASSERT_TRUE(WritePrivateProfileStringA("Services", "MSEMS", "Microsoft Exchange Server", draft));
    AbandonProfileUpdate(draft);
    EXPECT_EQ(ReadBytes(file), kBefore);
    EXPECT_EQ(GetFileAttributesA(path.c_str()) & kept, kept);
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"mapisvc.inf"});

    ASSERT_TRUE(Begin());
    ASSERT_TRUE(WritePrivateProfileStringA("Services", "MSEMS", "Microsoft Exchange Server", draft));
    EXPECT_TRUE(CommitProfileUpdate(draft));
    EXPECT_EQ(GetFileAttributesA(path.c_str()) & kept, kept);
    EXPECT_EQ(Get("Services", "MSEMS", path), "Microsoft Exchange Server");
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"mapisvc.inf"});
}

// The MAPI lookup's fallback where LOAD_LIBRARY_SEARCH_SYSTEM32 is unknown
// (Wine knows it, so the program never takes the fallback here): a copy of
// the library beside the program is never loaded.
TEST(Win32SystemLibrary, FallbackLoadsTheSystemDirectorysCopyOnly)
{
    char self[MAX_PATH], system[MAX_PATH], loaded[MAX_PATH] = "";
    ASSERT_NE(GetModuleFileNameA(NULL, self, sizeof self), 0u);
    ASSERT_NE(GetSystemDirectoryA(system, sizeof system), 0u);
    // A stand-in under a name that Wine has no library of its own for.
    fs::path stub = WindowsPath(EMSGRAFT_STUB_DIR "/mapistub/mapistub.dll");
    fs::path beside = fs::path(self).parent_path() / "emgstub.dll", inSystem = fs::path(system) / "emgstub.dll";
    fs::copy_file(stub, beside, fs::copy_options::overwrite_existing);
    HMODULE besideOnly = LoadLibraryFromSystemDirectory("emgstub.dll");
    fs::copy_file(stub, inSystem, fs::copy_options::overwrite_existing);
    HMODULE library = LoadLibraryFromSystemDirectory("emgstub.dll");
    if (library != NULL) {
        GetModuleFileNameA(library, loaded, sizeof loaded);
        FreeLibrary(library);
    }
    fs::remove(beside);
    fs::remove(inSystem);
    EXPECT_EQ(besideOnly, nullptr);
    EXPECT_EQ(CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, loaded, -1, inSystem.string().c_str(), -1),
              CSTR_EQUAL)
        << loaded;
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

    SetLastError(ERROR_PROFILE_CHANGED_SINCE_READ);
    LastErrorMessage(message, sizeof message);
    EXPECT_STREQ(message, "the file was changed or replaced during the update");

    SetLastError(0);  // a failed call that set no code
    LastErrorMessage(message, sizeof message);
    EXPECT_STREQ(message, "the write was refused");

    LastErrorMessage(message, 6);
    EXPECT_STREQ(message, "the w");
}

}  // namespace

// Guarded updates through the platform layer, on real files: a series of
// writes either lands as a whole or leaves the file exactly as it was, and
// nothing else is left beside it. Runs against both platform layers.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

#include "platform/profile.h"
#include "test_support.h"

namespace {

const char kBefore[] = "; kept\r\n[Services]\r\nMSFAX XP=Microsoft Fax\r\n\r\n[Other]\r\nk=v\r\n";

class ProfileUpdate : public ProfileFixture {
protected:
    const std::vector<std::string> onlyTheFile = {"mapisvc.inf"};
    fs::file_time_type written;

    void SetUp() override
    {
        WriteBytes(file, kBefore);
        written = BackDate(file);
    }
};

TEST_F(ProfileUpdate, CommittedWritesStayAndNothingElseDoes)
{
    ASSERT_TRUE(Begin());
    Put("Services", "MSEMS", "Microsoft Exchange Server");
    Put("New", "a", "1");
    Put("New", "b", "2");
    EXPECT_EQ(Get("New", "a", draft), "1");  // later reads of the draft see the writes
    EXPECT_TRUE(CommitProfileUpdate(draft));

    EXPECT_EQ(Get("Services", "MSEMS"), "Microsoft Exchange Server");
    EXPECT_EQ(Get("Services", "MSFAX XP"), "Microsoft Fax");
    EXPECT_EQ(Get("Other", "k"), "v");
    EXPECT_EQ(Get("New", "b"), "2");
    EXPECT_EQ(dir.Entries(), onlyTheFile);
}

TEST_F(ProfileUpdate, AbandonedWritesLeaveTheFileExactlyAsItWas)
{
    ASSERT_TRUE(Begin());
    Put("Services", "MSEMS", "Microsoft Exchange Server");
    Put("Other", "k", "changed");
    Put("New", "a", "1");
    AbandonProfileUpdate(draft);

    EXPECT_EQ(ReadBytes(file), kBefore);
    EXPECT_EQ(fs::last_write_time(file), written);
    EXPECT_EQ(dir.Entries(), onlyTheFile);
    EXPECT_EQ(Get("Other", "k"), "v");
}

TEST_F(ProfileUpdate, UpdateWithoutWritesChangesNothing)
{
    ASSERT_TRUE(Begin());
    EXPECT_TRUE(CommitProfileUpdate(draft));
    EXPECT_EQ(ReadBytes(file), kBefore);
    EXPECT_EQ(fs::last_write_time(file), written);
    EXPECT_EQ(dir.Entries(), onlyTheFile);
}

TEST_F(ProfileUpdate, DirectoryIsRefusedBeforeAnyWrite)
{
    fs::path directory = dir / "x.inf";
    fs::create_directory(directory);
    EXPECT_FALSE(Begin(directory.string()));
    EXPECT_TRUE(fs::is_directory(directory));
    EXPECT_TRUE(fs::is_empty(directory));
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"mapisvc.inf", "x.inf"}));
}

TEST_F(ProfileUpdate, SecondUpdateAfterAnAbandonedOneStartsClean)
{
    ASSERT_TRUE(Begin());
    Put("Services", "MSEMS", "first");
    AbandonProfileUpdate(draft);

    ASSERT_TRUE(Begin());
    Put("Services", "MSEMS", "second");
    EXPECT_TRUE(CommitProfileUpdate(draft));
    EXPECT_EQ(Get("Services", "MSEMS"), "second");
    EXPECT_EQ(dir.Entries(), onlyTheFile);
}

// Another program changes or removes the file between the steps of an
// update: the next step fails as "changed", leaves the file as that program
// made it and nothing beside it, and a new start finds the change too.
TEST_F(ProfileUpdate, FileChangedOrRemovedMeanwhileFailsTheNextStepAsChanged)
{
    enum When { kAfterTheRead, kAfterTheDraft, kAfterTheWrites };
    struct Case {
        const char *what;
        When when;
        bool removed;
    };
    const std::string theirs = std::string(kBefore) + "[Theirs]\r\nx=1\r\n";
    for (const Case &c : {Case{"changed after the read", kAfterTheRead, false},
                          Case{"removed after the read", kAfterTheRead, true},
                          Case{"changed after the draft", kAfterTheDraft, false},
                          Case{"changed after the writes", kAfterTheWrites, false},
                          Case{"removed after the writes", kAfterTheWrites, true}}) {
        SCOPED_TRACE(c.what);
        WriteBytes(file, kBefore);
        auto interfere = [&] { c.removed ? (void)fs::remove(file) : WriteBytes(file, theirs); };
        char profile[MAX_PATH];
        ASSERT_TRUE(LocateProfile(path.c_str(), profile, sizeof profile));
        ASSERT_TRUE(ReadProfile(profile));
        if (c.when == kAfterTheRead)
            interfere();
        bool begun = BeginProfileUpdate(profile, draft, sizeof draft);
        EXPECT_EQ(begun, c.when != kAfterTheRead);
        if (begun) {
            if (c.when == kAfterTheDraft)
                interfere();
            Put("Services", "MSEMS", "Microsoft Exchange Server");
            if (c.when == kAfterTheWrites)
                interfere();
            EXPECT_FALSE(CommitProfileUpdate(draft));
        }
        EXPECT_TRUE(ProfileChangedSinceRead());
        if (begun)
            AbandonProfileUpdate(draft);
        if (c.removed) {
            EXPECT_TRUE(dir.Entries().empty());
        } else {
            EXPECT_EQ(ReadBytes(file), theirs);
            EXPECT_EQ(dir.Entries(), onlyTheFile);
        }
        EXPECT_EQ(ReadProfile(profile), !c.removed);
        EXPECT_EQ(ProfileChangedSinceRead(), c.removed);
    }
}

// Another program that keeps a lock on the file (a flock or POSIX write lock;
// on Windows LockFileEx) is waited for, then the update fails as "locked",
// having written nothing.
TEST_F(ProfileUpdate, FileLockedByAnotherProgramIsNotUpdated)
{
#ifdef _WIN32
    HANDLE other = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    OVERLAPPED from = {};
    ASSERT_TRUE(LockFileEx(other, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &from));
#else
    int other = open(path.c_str(), O_RDONLY);
    ASSERT_EQ(flock(other, LOCK_EX), 0);
#endif
    bool begun = Begin() && WritePrivateProfileStringA("Services", "MSEMS", "Microsoft Exchange Server", draft) &&
                 CommitProfileUpdate(draft);
    char reason[256];
    LastErrorMessage(reason, sizeof reason);
    EXPECT_FALSE(begun);
    EXPECT_FALSE(ProfileChangedSinceRead());
    EXPECT_STREQ(reason, FILE_LOCKED_MESSAGE);
    AbandonProfileUpdate(draft);
#ifdef _WIN32
    CloseHandle(other);
#else
    close(other);
#endif
    EXPECT_EQ(ReadBytes(file), kBefore);
    EXPECT_EQ(dir.Entries(), onlyTheFile);
}

}  // namespace

// The built program, run as a process on real files: every message, exit
// status and effect on the service file.
//
// EMSGRAFT_PROGRAM names the program under test. With EMSGRAFT_WINE set to a
// wine binary, the program is a Windows executable run under Wine, and paths
// are handed to it in Windows form.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <sstream>
#include <tuple>

#include "test_support.h"

namespace {

const char *const kAdded = "Microsoft Exchange Server";

RunResult RunOn(const fs::path &file, RunOptions options = {}) { return RunTool({Shown(file)}, options); }

const char kUsage[] = "usage: emsgraft [<path>\\mapisvc.inf]\n";
const char kInvalid[] = "Invalid MAPI service file. Please specify an INF file name.\n";

using Entry = std::tuple<std::string, std::string, std::string>;

// Every section, key and value of a well-formed file, in file order.
std::vector<Entry> EntriesOf(const std::string &bytes)
{
    std::vector<Entry> entries;
    std::string section, line;
    std::istringstream in(bytes);
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.size() > 1 && line.front() == '[' && line.back() == ']')
            section = line.substr(1, line.size() - 2);
        else if (line.find('=') != std::string::npos && line.front() != ';')
            entries.emplace_back(section, line.substr(0, line.find('=')), line.substr(line.find('=') + 1));
    }
    return entries;
}

// An empty file as the update must leave it, written by hand from the
// service's definition: every section, key and value in their order.
const std::string kEmptyFileUpdated = ReadBytes(EMSGRAFT_EMPTY_FILE_UPDATED);


std::vector<Entry> InSection(const std::vector<Entry> &entries, const std::string &section)
{
    std::vector<Entry> found;
    for (const Entry &entry : entries)
        if (std::get<0>(entry) == section)
            found.push_back(entry);
    return found;
}

std::vector<Entry> DefinitionOf(const std::string &section) { return InSection(EntriesOf(kEmptyFileUpdated), section); }

class CommandLine : public ::testing::Test {
protected:
    ScratchDirectory dir;
    fs::path file = dir / "mapisvc.inf";
    void SetUp() override { WriteBytes(file, "[Services]\r\n"); }
    void ExpectUntouched() { EXPECT_EQ(ReadBytes(file), "[Services]\r\n"); }
};

TEST_F(CommandLine, MoreThanOneArgumentGivesUsage)
{
    RunResult run = RunTool({Shown(file), Shown(file)});
    EXPECT_EQ(run.output, kUsage);
    EXPECT_EQ(run.exitStatus, 1);
    ExpectUntouched();
}

TEST_F(CommandLine, DashArgumentsGiveUsage)
{
    for (std::string arg : {"-x", "-", "-mapisvc.inf", "--help"}) {
        RunResult run = RunTool({arg});
        EXPECT_EQ(run.output, kUsage) << arg;
        EXPECT_EQ(run.exitStatus, 1) << arg;
    }
}

TEST_F(CommandLine, SlashIsAnOptionMarkerOnlyOnWindows)
{
    RunResult help = RunTool({"/?"});
    EXPECT_EQ(help.exitStatus, 1);
    RunResult absolute = RunTool({UnderWine() ? "/" + file.string() : file.string()});
    if (UnderWine()) {
        EXPECT_EQ(help.output, kUsage);
        EXPECT_EQ(absolute.output, kUsage);
        EXPECT_EQ(absolute.exitStatus, 1);
        ExpectUntouched();
    } else {
        EXPECT_EQ(help.output, kInvalid);
        EXPECT_EQ(absolute.output, Added(Shown(file)));
        EXPECT_EQ(absolute.exitStatus, 0);
    }
}

TEST_F(CommandLine, NameMustEndInInf)
{
    fs::path bad[] = {dir / "mapisvc.inf.bak", dir / "mapisvc", dir / "Data.inf" / "mapisvc", dir / "mapisvc.infx"};
    for (const fs::path &path : bad) {
        RunResult run = RunOn(path);
        EXPECT_EQ(run.output, kInvalid) << path;
        EXPECT_EQ(run.exitStatus, 1) << path;
    }
    RunResult empty = RunTool({""});
    EXPECT_EQ(empty.output, kInvalid);
    EXPECT_EQ(empty.exitStatus, 1);
}

TEST_F(CommandLine, ExtensionCaseDoesNotMatter)
{
    for (std::string name : {"MAPISVC.INF", "Other.Inf", ".inf"}) {
        WriteBytes(dir / name, "");
        RunResult run = RunOn(dir / name);
        EXPECT_EQ(run.output, Added(Shown(dir / name))) << name;
        EXPECT_EQ(run.exitStatus, 0) << name;
    }
}

TEST_F(CommandLine, MissingFileIsReported)
{
    RunResult run = RunOn(dir / "absent.inf");
    EXPECT_EQ(run.output, NotFound(Shown(dir / "absent.inf")));
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_FALSE(fs::exists(dir / "absent.inf"));
}

// A name that reaches exactly `length` characters in the form the program sees.
fs::path PathOfShownLength(const fs::path &dir, size_t length, const std::string &ending)
{
    size_t used = Shown(dir / "").size() + ending.size();
    return dir / (std::string(length - used, 'a') + ending);
}

TEST_F(CommandLine, LongestNameIsAccepted)
{
    fs::path longest = PathOfShownLength(dir.Path(), 259, ".inf");
    ASSERT_EQ(Shown(longest).size(), 259u);
    WriteBytes(longest, "");
    RunResult run = RunOn(longest);
    EXPECT_EQ(run.output, Added(Shown(longest)));
    EXPECT_EQ(run.exitStatus, 0);
}

TEST_F(CommandLine, LongerNameIsRefusedNotCut)
{
    // The first 259 characters of the argument name a file that exists.
    fs::path prefix = PathOfShownLength(dir.Path(), 259, "");
    WriteBytes(prefix, "");
    std::string argument = Shown(prefix) + std::string(37, 'b') + ".inf";
    ASSERT_EQ(argument.size(), 300u);
    RunResult run = RunTool({argument});
    EXPECT_EQ(run.output, "MAPI service file name is too long. Please specify at most 259 characters.\n");
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(ReadBytes(prefix), "");
}

class Update : public ::testing::Test {
protected:
    ScratchDirectory dir;
    fs::path file = dir / "mapisvc.inf";

    RunResult Patch(const std::string &before)
    {
        WriteBytes(file, before);
        return RunOn(file);
    }
    std::vector<Entry> Result() { return EntriesOf(ReadBytes(file)); }
};

TEST_F(Update, EmptyFileReceivesTheWholeDefinitionInOrder)
{
    RunResult run = Patch("");
    EXPECT_EQ(run.output, Added(Shown(file)));
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(Result(), EntriesOf(kEmptyFileUpdated));
    if (!UnderWine()) {
        EXPECT_EQ(ReadBytes(file), kEmptyFileUpdated);
    }
}

TEST_F(Update, RegisteredFileIsLeftAlone)
{
    std::string before = "; mine\n[Services]\nmsems = \"Something else\"\n[EMS_DSA]\n";
    RunResult run = Patch(before);
    EXPECT_EQ(run.output, Exists(Shown(file)));
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(ReadBytes(file), before);
}

TEST_F(Update, SecondRunFindsTheService)
{
    Patch("[Services]\r\nMSFAX XP=Microsoft Fax\r\n");
    std::string once = ReadBytes(file);
    RunResult again = RunOn(file);
    EXPECT_EQ(again.output, Exists(Shown(file)));
    EXPECT_EQ(again.exitStatus, 1);
    EXPECT_EQ(ReadBytes(file), once);
}

TEST_F(Update, EmptyRegistrationCountsAsAbsentAndIsReplaced)
{
    RunResult run = Patch("[Services]\r\nMSEMS=\r\n");
    EXPECT_EQ(run.output, Added(Shown(file)));
    EXPECT_EQ(InSection(Result(), "Services"), DefinitionOf("Services"));
}

TEST_F(Update, DefaultServicesValueIsReplaced)
{
    Patch("[Default Services]\r\nMSEMS=Other\r\nMSFAX XP=Microsoft Fax\r\n");
    std::vector<Entry> expected = {{"Default Services", "MSEMS", kAdded},
                                   {"Default Services", "MSFAX XP", "Microsoft Fax"}};
    EXPECT_EQ(InSection(Result(), "Default Services"), expected);
}

TEST_F(Update, SectionWithAnyKeyIsKeptAsItIs)
{
    RunResult run = Patch("[EMS_DSA]\r\nPR_DISPLAY_NAME=Mine\r\n[MSEMS]\r\nOwn=1\r\n");
    EXPECT_EQ(run.exitStatus, 0);
    std::vector<Entry> result = Result();
    EXPECT_EQ(InSection(result, "EMS_DSA"), (std::vector<Entry>{{"EMS_DSA", "PR_DISPLAY_NAME", "Mine"}}));
    EXPECT_EQ(InSection(result, "MSEMS"), (std::vector<Entry>{{"MSEMS", "Own", "1"}}));
    EXPECT_EQ(InSection(result, "Services"), DefinitionOf("Services"));
    for (std::string section : {"EMS_MDB_public", "EMS_MDB_private", "MSEMS_MSMail_Section", "EMSDelegate"})
        EXPECT_EQ(InSection(result, section), DefinitionOf(section)) << section;
}

// The entries of a section that have a name: lines with an empty one (or
// one starting with a NUL byte) do not count as keys.
std::vector<Entry> NamedIn(const std::vector<Entry> &entries, const std::string &section)
{
    std::vector<Entry> named;
    for (const Entry &entry : InSection(entries, section))
        if (!std::get<1>(entry).empty() && std::get<1>(entry)[0] != '\0')
            named.push_back(entry);
    return named;
}

TEST_F(Update, SectionWhoseKeysFollowAnEmptyNameIsKept)
{
    RunResult run = Patch(std::string("[MSEMS]\r\n=stray\r\nPR_SERVICE_DLL_NAME=custom.dll\r\n"
                                      "PR_DISPLAY_NAME=My Custom Exchange\r\n[EMS_DSA]\r\n") +
                          '\0' + "name=x\r\nPR_DISPLAY_NAME=Mine\r\n");
    EXPECT_EQ(run.output, Added(Shown(file)));
    std::vector<Entry> result = Result();
    EXPECT_EQ(NamedIn(result, "MSEMS"), (std::vector<Entry>{{"MSEMS", "PR_SERVICE_DLL_NAME", "custom.dll"},
                                                             {"MSEMS", "PR_DISPLAY_NAME", "My Custom Exchange"}}));
    EXPECT_EQ(NamedIn(result, "EMS_DSA"), (std::vector<Entry>{{"EMS_DSA", "PR_DISPLAY_NAME", "Mine"}}));
    EXPECT_EQ(InSection(result, "EMSDelegate"), DefinitionOf("EMSDelegate"));
}

TEST_F(Update, SectionOfCommentsNamesAndEmptyNamesIsFilled)
{
    // The line holding only one of our names gets its value in place.
    Patch("[EMS_DSA]\r\n=x\r\nPR_DISPLAY_NAME\r\n; PR_PROVIDER_DISPLAY=c\r\n");
    EXPECT_EQ(NamedIn(Result(), "EMS_DSA"), DefinitionOf("EMS_DSA"));
}

// However many lines a section holds, only a key counts: lines without "=",
// or with an empty name, that fill any listing buffer do not.
TEST_F(Update, SectionFullOfLinesThatAreNoKeysIsFilled)
{
    std::string names = "[MSEMS]\r\n", emptyNames = "[EMS_DSA]\r\n";
    for (int i = 0; i < 60; i++)
        names += "a line without equals " + std::to_string(i) + "\r\n";
    for (int i = 0; i < 120; i++)
        emptyNames += "=value " + std::to_string(i) + "\r\n";
    for (const auto &[before, section] : {std::pair{names, "MSEMS"}, std::pair{emptyNames, "EMS_DSA"}}) {
        RunResult run = Patch(before);
        EXPECT_EQ(run.output, Added(Shown(file)));
        EXPECT_EQ(NamedIn(Result(), section), DefinitionOf(section)) << section;
    }
}

TEST_F(Update, EmptySectionIsFilled)
{
    Patch("[MSEMS]\r\n; nothing yet\r\n\r\n[EMS_DSA]\r\n");
    std::vector<Entry> result = Result();
    EXPECT_EQ(InSection(result, "MSEMS"), DefinitionOf("MSEMS"));
    EXPECT_EQ(InSection(result, "EMS_DSA"), DefinitionOf("EMS_DSA"));
}

// A link stays a link, on both systems: the file it leads to is updated.
TEST_F(Update, SymbolicLinkStaysAndItsTargetIsUpdated)
{
    WriteBytes(file, kRealisticServiceFile);
    fs::path link = dir / "link.inf";
    fs::create_symlink("mapisvc.inf", link);
    RunResult run = RunOn(link);
    EXPECT_EQ(run.output, Added(Shown(link)));
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_NE(ReadBytes(file).find("[EMSDelegate]"), std::string::npos);
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"link.inf", "mapisvc.inf"}));
}

TEST_F(Update, DirectoryNamedLikeAServiceFileIsNotUpdated)
{
    fs::create_directory(dir / "x.inf");
    RunResult run = RunOn(dir / "x.inf");
    EXPECT_EQ(run.output.rfind(FailedUpdate(Shown(dir / "x.inf")), 0), 0u) << run.output;
    EXPECT_EQ(run.output.find("Done"), std::string::npos);
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_TRUE(fs::is_directory(dir / "x.inf"));
    EXPECT_TRUE(fs::is_empty(dir / "x.inf"));
}

}  // namespace

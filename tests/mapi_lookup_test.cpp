// Finding the installed service file through the MAPI stub library: the
// program run without arguments against stand-in libraries built by the tests.
#include <gtest/gtest.h>

#include <fstream>

#include "test_support.h"

namespace {

const std::string kComponent = "{FF1D0740-D227-11D1-A4B0-006008AF820E}";
const std::string kOutlook = "Microsoft\\Office\\9.0\\Outlook\\0LastUILanguage\\0\\0";
const std::string kLanguages =
    "Microsoft\\Office\\9.0\\Common\\LanguageResources\\0UILanguage\\0InstallLanguage\\0\\0";

class MapiLookup : public ::testing::Test {
protected:
    ScratchDirectory dir;
    fs::path log = dir / "stub.log";
    fs::path systemFile = fs::path(EMSGRAFT_TEST_SYSTEM_DIR) / "mapisvc.inf";

    // Runs the program without arguments; `libraries` are the stand-in
    // folders the loader may search, `answers` what FGetComponentPath says.
    RunResult Run(const std::vector<std::string> &libraries, const std::string &answers,
                  const fs::path &workingDirectory = {})
    {
        std::string searchPath;
        for (const std::string &library : libraries)
            searchPath += (searchPath.empty() ? "" : ":") + (fs::path(EMSGRAFT_STUB_DIR) / library).string();
        RunOptions options;
        options.environment = {"LD_LIBRARY_PATH=" + searchPath, "EMSGRAFT_STUB_ANSWERS=" + answers,
                               "EMSGRAFT_STUB_LOG=" + log.string()};
        options.workingDirectory = workingDirectory;
        return RunProgram({EMSGRAFT_TEST_SYSTEM_PROGRAM}, options);
    }

    std::vector<std::string> Calls()
    {
        std::vector<std::string> lines;
        std::ifstream in(log);
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }

    static std::string Call(const std::string &qualifier, const std::string &buffer = "")
    {
        return "call " + kComponent + " " + qualifier + " size=260 install=1 buffer=" + buffer;
    }
    static std::string NotFound(const fs::path &path) { return "MAPI service file " + path.string() + " not found\n"; }
    static std::string Added(const fs::path &path)
    {
        return "Adding MSEMS service information to " + path.string() + "...Done\n";
    }
};

using Lines = std::vector<std::string>;

TEST_F(MapiLookup, FileBesideTheComponentIsPatched)
{
    fs::path component = dir / "Apps" / "Mapi" / "lib.dll";
    fs::create_directories(component.parent_path());
    WriteBytes(component.parent_path() / "mapisvc.inf", "");
    RunResult run = Run({"mapistub", "mapi32"}, "1:" + component.string());
    EXPECT_EQ(run.output, Added(component.parent_path() / "mapisvc.inf"));
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(Calls(), (Lines{"load mapistub", Call(kOutlook), "unload mapistub"}));
}

TEST_F(MapiLookup, QualifiersAreTriedInOrderUntilOneGivesAPath)
{
    RunResult run = Run({"mapistub"}, "0|1|1:" + dir.Path().string() + "/x.dll");
    EXPECT_EQ(run.output, NotFound(dir / "mapisvc.inf"));
    EXPECT_EQ(Calls(), (Lines{"load mapistub", Call(kOutlook), Call(kLanguages), Call("NULL"), "unload mapistub"}));
}

TEST_F(MapiLookup, BufferIsNotClearedBetweenCalls)
{
    // The first call fails yet leaves a path; the second succeeds without one.
    RunResult run = Run({"mapistub"}, "0:/first/lib.dll|1");
    EXPECT_EQ(run.output, NotFound("/first/mapisvc.inf"));
    EXPECT_EQ(Calls(), (Lines{"load mapistub", Call(kOutlook), Call(kLanguages, "/first/lib.dll"), "unload mapistub"}));
}

TEST_F(MapiLookup, UnsuccessfulCallsKeepTheDefaultPath)
{
    RunResult run = Run({"mapistub"}, "0|0|0");
    EXPECT_EQ(run.output, NotFound(systemFile));
    EXPECT_EQ(Calls().size(), 5u);
}

TEST_F(MapiLookup, SecondLibraryIsTriedOnlyWithoutTheFirst)
{
    RunResult run = Run({"mapi32"}, "1:/m32/lib.dll");
    EXPECT_EQ(run.output, NotFound("/m32/mapisvc.inf"));
    EXPECT_EQ(Calls(), (Lines{"load mapi32", Call(kOutlook), "unload mapi32"}));
}

TEST_F(MapiLookup, LibraryWithoutTheFunctionIsReleased)
{
    RunResult run = Run({"nofunction", "mapi32"}, "1:/m32/lib.dll");
    EXPECT_EQ(run.output, NotFound(systemFile));
    EXPECT_EQ(Calls(), (Lines{"load mapistub", "unload mapistub"}));
}

TEST_F(MapiLookup, NoLibraryIsReportedAndTheDefaultPathKept)
{
    RunResult run = Run({}, "");
    EXPECT_EQ(run.output, "Unable to load MAPI DLLs\n" + NotFound(systemFile));
    EXPECT_EQ(run.exitStatus, 1);
}

TEST_F(MapiLookup, DirectoryPartIsCutAfterTheLastSeparator)
{
    EXPECT_EQ(Run({"mapistub"}, "1:/Apps/").output, NotFound("/Apps/mapisvc.inf"));
    // A backslash separates nothing here: the name has no directory part.
    EXPECT_EQ(Run({"mapistub"}, "1:C:\\Apps\\lib.dll", dir.Path()).output, NotFound("mapisvc.inf"));
}

TEST_F(MapiLookup, ComponentWithoutDirectoryMeansTheWorkingDirectory)
{
    WriteBytes(dir / "mapisvc.inf", "");
    RunResult run = Run({"mapistub"}, "1:lib.dll", dir.Path());
    EXPECT_EQ(run.output, Added("mapisvc.inf"));
    EXPECT_NE(ReadBytes(dir / "mapisvc.inf").find("[MSEMS]"), std::string::npos);
}

TEST_F(MapiLookup, DirectoryTooLongForTheNameKeepsTheDefaultPath)
{
    std::string fits = "/" + std::string(246, 'd') + "/";  // 248 + 11 characters + NUL = 260 bytes
    EXPECT_EQ(Run({"mapistub"}, "1:" + fits + "lib.dll").output, NotFound(fits + "mapisvc.inf"));
    std::string tooLong = "/" + std::string(247, 'd') + "/";
    EXPECT_EQ(Run({"mapistub"}, "1:" + tooLong + "lib.dll").output, NotFound(systemFile));
}

}  // namespace

// Finding the installed service file through the MAPI stub library: the
// program run without arguments against stand-in libraries built by the tests.
//
// On Linux the stand-ins are ELF shared objects named like the DLLs, found
// through LD_LIBRARY_PATH. With EMSGRAFT_WINE set to a Wine loader, the
// program is the Windows build (EMSGRAFT_PROGRAM) and the stand-ins are DLLs
// (EMSGRAFT_STUB_DIR), put into its system directory in the tests' Wine prefix
// (EMSGRAFT_WINE_SYSTEM_DIR) in place of Wine's own; Wine is told to use only
// those, never its own mapi32. Either program runs as a copy in a folder of
// its own, so that a test can plant libraries beside it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

#include "test_support.h"

namespace {

const std::string kComponent = "{FF1D0740-D227-11D1-A4B0-006008AF820E}";
const std::string kOutlook = "Microsoft\\Office\\9.0\\Outlook\\0LastUILanguage\\0\\0";
const std::string kLanguages =
    "Microsoft\\Office\\9.0\\Common\\LanguageResources\\0UILanguage\\0InstallLanguage\\0\\0";
// A mail client's qualifiers as the tests register them; the values they name
// hold German (1031) in the first two, US English (1033) in the last.
const std::string kGerman = "emsgraft-lookup-test\\Outlook\\0LastUILanguage\\0\\0";
const std::string kGermanOffice = "emsgraft-lookup-test\\Common\\0UILanguage\\0InstallLanguage\\0\\0";
const std::string kEnglish = "emsgraft-lookup-test\\English\\0LastUILanguage\\0\\0";
const std::string kMailClients = "HKEY_LOCAL_MACHINE\\Software\\Clients\\Mail";
const std::vector<const char *> kRegistryViews = {"/reg:32", "/reg:64"};

// A .reg line that sets value `name` to `qualifier` (a NUL shown as "\0"),
// of type `type` (7: REG_MULTI_SZ, 3: REG_BINARY); none for no qualifier.
std::string RegValue(const std::string &name, const std::string &qualifier, int type = 7)
{
    std::string line = "\"" + name + "\"=hex(" + std::to_string(type) + "):";
    for (size_t i = 0; i < qualifier.size(); i++) {
        bool nul = qualifier.compare(i, 2, "\\0") == 0;
        char hex[4];
        snprintf(hex, sizeof hex, "%02x,", nul ? 0 : (unsigned char)qualifier[i]);
        line += hex;
        i += nul;
    }
    return qualifier.empty() ? "" : line.substr(0, line.size() - 1) + "\n";
}

// An absolute path that need not exist, written with "/" between the names:
// "/a/b" on Linux, "X:\a\b" on Windows.
std::string Absolute(std::string names)
{
    if (!UnderWine())
        return "/" + names;
    std::replace(names.begin(), names.end(), '/', '\\');
    return "X:\\" + names;
}

fs::path StubDirectory()
{
    const char *stubs = std::getenv("EMSGRAFT_STUB_DIR");
    return stubs != nullptr ? stubs : EMSGRAFT_STUB_DIR;
}

// Where a run without arguments looks when the library gives no answer.
std::string SystemFile()
{
    if (UnderWine())
        return "C:\\windows\\system32\\mapisvc.inf";
    return (fs::path(EMSGRAFT_TEST_SYSTEM_DIR) / "mapisvc.inf").string();
}

fs::path WindowsDirectory() { return fs::path(std::getenv("WINEPREFIX")) / "drive_c" / "windows"; }

fs::path SystemFileOnDisk() { return UnderWine() ? WineSystemDirectory() / "mapisvc.inf" : fs::path(SystemFile()); }

const char *const kLibraryNames[] = {"mapistub.dll", "mapi32.dll"};

// Puts the stand-in libraries of folders `libraries` into `directory`.
void Plant(const std::vector<std::string> &libraries, const fs::path &directory)
{
    for (const std::string &library : libraries)
        for (const auto &file : fs::directory_iterator(StubDirectory() / library))
            fs::copy_file(file.path(), directory / file.path().filename(), fs::copy_options::overwrite_existing);
}

// Moves a file, also to another file system: the Wine prefix and the scratch
// directory may be on two (/tmp a tmpfs, say), or on two mounts of one.
void MoveAcrossFileSystems(const fs::path &from, const fs::path &to)
{
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    fs::remove(from);
}

class MapiLookup : public ::testing::Test {
protected:
    ScratchDirectory dir;
    fs::path log = dir / "stub.log";
    std::string systemFile = SystemFile();
    // The program's own folder, holding a copy of it.
    fs::path bin = dir / "bin";
    fs::path program = bin / (UnderWine() ? "emsgraft.exe" : "emsgraft");
    // Wine's own libraries of those names, kept aside while the test runs.
    fs::path wineOwn = dir / "wine-own";
    std::vector<std::string> environment;  // more NAME=value entries for the runs
    bool mailClientsSaved = false;  // Wine's own, in the test's directory

    std::string SavedMailClients(const std::string &view) { return Shown(dir / ("saved" + view.substr(5) + ".reg")); }
    // Puts back Wine's own mail clients, as saved, in both registry views.
    void RestoreMailClients()
    {
        for (const char *view : kRegistryViews) {
            RunTool("reg", {"delete", kMailClients, "/f", view});
            RunTool("reg", {"import", SavedMailClients(view), view});
        }
    }

    void SetUp() override
    {
        fs::create_directory(bin);
        fs::copy_file(UnderWine() ? ProgramUnderTest() : EMSGRAFT_TEST_SYSTEM_PROGRAM, program);
        if (UnderWine()) {
            ASSERT_NE(std::getenv("WINEPREFIX"), nullptr) << "the Windows build runs in the tests' own Wine prefix";
            fs::create_directory(wineOwn);
            for (const char *name : kLibraryNames)
                if (fs::exists(WineSystemDirectory() / name))
                    MoveAcrossFileSystems(WineSystemDirectory() / name, wineOwn / name);
        }
        ASSERT_FALSE(fs::exists(SystemFileOnDisk())) << "left by another test";
    }

    void TearDown() override
    {
        if (!UnderWine())
            return;
        if (mailClientsSaved) {
            RestoreMailClients();
            RunTool("reg", {"delete", "HKCU\\Software\\emsgraft-lookup-test", "/f"});
        }
        for (const char *name : kLibraryNames) {
            fs::remove(WineSystemDirectory() / name);
            if (fs::exists(wineOwn / name))
                MoveAcrossFileSystems(wineOwn / name, WineSystemDirectory() / name);
        }
    }

    // Runs the program without arguments; `libraries` are the stand-in
    // folders where the loader looks for MAPI (Linux: LD_LIBRARY_PATH;
    // Windows: the system directory), `answers` what FGetComponentPath says.
    RunResult Run(const std::vector<std::string> &libraries, const std::string &answers,
                  const fs::path &workingDirectory = {})
    {
        RunOptions options;
        options.environment = {"EMSGRAFT_STUB_ANSWERS=" + answers, "EMSGRAFT_STUB_LOG=" + Shown(log)};
        options.environment.insert(options.environment.end(), environment.begin(), environment.end());
        options.workingDirectory = workingDirectory;
        if (!UnderWine()) {
            std::string searchPath;
            for (const std::string &library : libraries)
                searchPath += (searchPath.empty() ? "" : ":") + (StubDirectory() / library).string();
            options.environment.push_back("LD_LIBRARY_PATH=" + searchPath);
        } else {
            for (const char *name : kLibraryNames)
                fs::remove(WineSystemDirectory() / name);
            Plant(libraries, WineSystemDirectory());
            options.environment.push_back("WINEDLLOVERRIDES=mapistub=n;mapi32=n");
        }
        return RunTool(program, {}, options);
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
};

using Lines = std::vector<std::string>;

TEST_F(MapiLookup, FileBesideTheComponentIsPatched)
{
    fs::path component = dir / "Apps" / "Mapi" / "lib.dll";
    fs::create_directories(component.parent_path());
    WriteBytes(component.parent_path() / "mapisvc.inf", "");
    RunResult run = Run({"mapistub", "mapi32"}, "1:" + Shown(component));
    EXPECT_EQ(run.output, Added(Shown(component.parent_path() / "mapisvc.inf")));
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_NE(ReadBytes(component.parent_path() / "mapisvc.inf").find("[MSEMS]"), std::string::npos);
    EXPECT_EQ(Calls(), (Lines{"load mapistub", Call(kOutlook), "unload mapistub"}));
}

TEST_F(MapiLookup, QualifiersAreTriedInOrderUntilOneGivesAPath)
{
    RunResult run = Run({"mapistub"}, "0|1|1:" + Shown(dir / "x.dll"));
    EXPECT_EQ(run.output, NotFound(Shown(dir / "mapisvc.inf")));
    EXPECT_EQ(Calls(), (Lines{"load mapistub", Call(kOutlook), Call(kLanguages), Call("NULL"), "unload mapistub"}));
}

TEST_F(MapiLookup, BufferIsNotClearedBetweenCalls)
{
    // The first call fails yet leaves a path; the second succeeds without one.
    std::string first = Absolute("first/lib.dll");
    RunResult run = Run({"mapistub"}, "0:" + first + "|1");
    EXPECT_EQ(run.output, NotFound(Absolute("first/mapisvc.inf")));
    EXPECT_EQ(Calls(), (Lines{"load mapistub", Call(kOutlook), Call(kLanguages, first), "unload mapistub"}));
}

TEST_F(MapiLookup, UnsuccessfulCallsKeepTheDefaultPath)
{
    RunResult run = Run({"mapistub"}, "0|0|0");
    EXPECT_EQ(run.output, NotFound(systemFile));
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(Calls(), (Lines{"load mapistub", Call(kOutlook), Call(kLanguages), Call("NULL"), "unload mapistub"}));
}

TEST_F(MapiLookup, SecondLibraryIsTriedOnlyWithoutTheFirst)
{
    RunResult run = Run({"mapi32"}, "1:" + Absolute("m32/lib.dll"));
    EXPECT_EQ(run.output, NotFound(Absolute("m32/mapisvc.inf")));
    EXPECT_EQ(Calls(), (Lines{"load mapi32", Call(kOutlook), "unload mapi32"}));
}

TEST_F(MapiLookup, LibraryWithoutTheFunctionIsReleased)
{
    RunResult run = Run({"nofunction", "mapi32"}, "1:" + Absolute("m32/lib.dll"));
    EXPECT_EQ(run.output, NotFound(systemFile));
    EXPECT_EQ(Calls(), (Lines{"load mapistub", "unload mapistub"}));
}

TEST_F(MapiLookup, NoLibraryIsReportedAndTheDefaultPathKept)
{
    RunResult run = Run({}, "");
    EXPECT_EQ(run.output, "Unable to load MAPI DLLs\n" + NotFound(systemFile));
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(Calls(), Lines{});
}

TEST_F(MapiLookup, LibraryInTheWorkingDirectoryIsNeverLoaded)
{
    // Windows' standard search tries the working directory unless the
    // program drops it; Wine 8 tries it even then.
    fs::path work = dir / "work";
    fs::create_directory(work);
    Plant({"mapistub"}, work);
    RunResult run = Run({"mapi32"}, "1:" + Absolute("m32/lib.dll"), work);
    EXPECT_EQ(run.output, NotFound(Absolute("m32/mapisvc.inf")));
    EXPECT_EQ(Calls(), (Lines{"load mapi32", Call(kOutlook), "unload mapi32"}));

    RunResult alone = Run({}, "", work);
    EXPECT_EQ(alone.output, "Unable to load MAPI DLLs\n" + NotFound(systemFile));
}

TEST_F(MapiLookup, LibraryBesideTheProgramOrOnThePathIsNeverLoaded)
{
    // Windows' standard search tries the program's own folder (often a
    // download folder) before the system directory, and every folder on PATH
    // after it; Wine takes PATH's additions from WINEPATH.
    fs::path onPath = dir / "path";
    fs::create_directory(onPath);
    std::string path = UnderWine() ? "WINEPATH=" + Shown(onPath) : "PATH=" + Shown(onPath) + ":/usr/bin:/bin";
    struct Place {
        const char *name;
        fs::path directory;
        std::vector<std::string> environment;
    };
    for (const Place &place : {Place{"beside the program", bin, {}}, Place{"on PATH", onPath, {path}}}) {
        SCOPED_TRACE(place.name);
        Plant({"mapistub", "mapi32"}, place.directory);
        environment = place.environment;
        RunResult alone = Run({}, "1:" + Absolute("planted/lib.dll"));
        EXPECT_EQ(alone.output, "Unable to load MAPI DLLs\n" + NotFound(systemFile));
        EXPECT_EQ(Calls(), Lines{});

        // Nor does it stand in for one missing from the system directory.
        RunResult second = Run({"mapi32"}, "1:" + Absolute("m32/lib.dll"));
        EXPECT_EQ(second.output, NotFound(Absolute("m32/mapisvc.inf")));
        EXPECT_EQ(Calls(), (Lines{"load mapi32", Call(kOutlook), "unload mapi32"}));
        fs::remove(log);
        for (const char *name : kLibraryNames)
            fs::remove(place.directory / name);
    }
}

TEST_F(MapiLookup, DirectoryPartIsCutAfterTheLastSeparator)
{
    EXPECT_EQ(Run({"mapistub"}, "1:" + Absolute("Apps/Mapi/lib.dll")).output,
              NotFound(Absolute("Apps/Mapi/mapisvc.inf")));
    EXPECT_EQ(Run({"mapistub"}, "1:" + Absolute("Apps/")).output, NotFound(Absolute("Apps/mapisvc.inf")));
    // The other build's separator separates nothing: the name has no
    // directory part.
    std::string other = UnderWine() ? "X:/Apps/lib.dll" : "C:\\Apps\\lib.dll";
    EXPECT_EQ(Run({"mapistub"}, "1:" + other, dir.Path()).output, NotFound("mapisvc.inf"));
}

TEST_F(MapiLookup, ComponentWithoutDirectoryMeansTheWorkingDirectory)
{
    WriteBytes(dir / "mapisvc.inf", "");
    // Where the Win32 profile functions would look for a bare name.
    fs::path windowsDirectoryFile;
    const std::string planted = "[Services]\r\n";
    if (UnderWine()) {
        windowsDirectoryFile = WindowsDirectory() / "mapisvc.inf";
        WriteBytes(windowsDirectoryFile, planted);
    }
    RunResult run = Run({"mapistub"}, "1:lib.dll", dir.Path());
    std::string inWindowsDirectory;
    if (UnderWine()) {
        inWindowsDirectory = ReadBytes(windowsDirectoryFile);
        fs::remove(windowsDirectoryFile);
    }
    EXPECT_EQ(run.output, Added("mapisvc.inf"));
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_NE(ReadBytes(dir / "mapisvc.inf").find("[MSEMS]"), std::string::npos);
    if (UnderWine()) {
        EXPECT_EQ(inWindowsDirectory, planted);
    }
}

TEST_F(MapiLookup, DirectoryTooLongForTheNameKeepsTheDefaultPath)
{
    // A directory part of 248 characters leaves room for the 11 of the name
    // and the NUL in 260 bytes; one more does not.
    size_t frame = Absolute("/").size();  // the root and the closing separator
    std::string fits = Absolute(std::string(248 - frame, 'd') + "/");
    ASSERT_EQ(fits.size(), 248u);
    EXPECT_EQ(Run({"mapistub"}, "1:" + fits + "lib.dll").output, NotFound(fits + "mapisvc.inf"));
    std::string tooLong = Absolute(std::string(249 - frame, 'd') + "/");
    EXPECT_EQ(Run({"mapistub"}, "1:" + tooLong + "lib.dll").output, NotFound(systemFile));
}

TEST_F(MapiLookup, MailClientsQualifiersFindMapiInItsOwnLanguage)
{
    // MAPI installed in German where the locales are English: only the mail
    // client's qualifiers find it. Linux has no registry, so three attempts.
    fs::path component = dir / "lib.dll", besideComponent = dir / "mapisvc.inf";
    environment = {"EMSGRAFT_STUB_INSTALLED=1031:" + Shown(component), "LC_ALL=C"};
    std::string unterminated = kGerman.substr(0, kGerman.size() - 2);
    std::string oversized = unterminated + std::string(1000, 'x') + "\\0\\0";  // 1046 bytes
    const std::string mapi = kComponent, other = "{00000000-0000-0000-0000-000000000000}";
    struct Client {
        const char *name;  // of emsgraft-test-<name>
        std::string componentId, application, office;  // qualifiers: MSIApplicationLCID, MSIOfficeLCID
        int applicationType = 7;
    };
    struct Row {
        const char *what;
        std::vector<Client> clients;  // the first is the default client
        Lines attempts;  // after the three fixed ones; the last, if any, finds MAPI
        bool otherView = false;
    } rows[] = {
        {"the client's languages", {{"a", mapi, kGerman, kGermanOffice}}, {kGerman}},
        {"no languages", {{"a", mapi, "", ""}}, {}},
        {"the Office language", {{"a", mapi, kEnglish, kGermanOffice}}, {kEnglish, kGermanOffice}},
        {"wrong type", {{"a", mapi, kGerman, kGermanOffice, 3}}, {kGermanOffice}},
        {"unterminated", {{"a", mapi, unterminated, kGermanOffice}}, {kGermanOffice}},
        {"oversized", {{"a", mapi, oversized, kGermanOffice}}, {kGermanOffice}},
        {"empty", {{"a", mapi, "\\0\\0", kGermanOffice}}, {kGermanOffice}},
        {"default of another component", {{"a", other, kGerman, ""}, {"b", mapi, kGermanOffice, ""}}, {kGermanOffice}},
        {"default before the first listed", {{"b", mapi, kGerman, ""}, {"a", mapi, kEnglish, kEnglish}}, {kGerman}},
        {"the other registry view", {{"a", mapi, kGerman, ""}}, {kGerman}, true},
    };
    mailClientsSaved = UnderWine();
    for (const char *view : mailClientsSaved ? kRegistryViews : std::vector<const char *>{})
        RunTool("reg", {"export", kMailClients, SavedMailClients(view), "/y", view});
    std::string languages = "[HKEY_CURRENT_USER\\Software\\emsgraft-lookup-test\\";
    languages = languages + "Outlook]\n\"LastUILanguage\"=dword:00000407\n" + languages +
                "Common]\n\"UILanguage\"=dword:00000407\n" + languages +
                "English]\n\"LastUILanguage\"=dword:00000409\n";
    bool wow64 = UnderWine() && WineSystemDirectory().filename() == "syswow64";
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        std::string text =
            "REGEDIT4\n" + languages + "[" + kMailClients + "]\n@=\"emsgraft-test-" + row.clients[0].name + "\"\n";
        for (const Client &client : row.clients)
            text += "[" + kMailClients + "\\emsgraft-test-" + client.name + "]\n\"MSIComponentID\"=\"" +
                    client.componentId + "\"\n" + RegValue("MSIOfficeLCID", client.office) +
                    RegValue("MSIApplicationLCID", client.application, client.applicationType);
        WriteBytes(dir / "clients.reg", text);
        const char *view = wow64 != row.otherView ? "/reg:32" : "/reg:64";
        if (UnderWine()) {
            RestoreMailClients();
            ASSERT_EQ(RunTool("reg", {"import", Shown(dir / "clients.reg"), view}).exitStatus, 0);
        }
        WriteBytes(besideComponent, "");
        fs::create_directories(SystemFileOnDisk().parent_path());
        WriteBytes(SystemFileOnDisk(), "");
        RunResult run = Run({"mapistub"}, "");
        Lines calls{"load mapistub", Call(kOutlook), Call(kLanguages), Call("NULL")};
        for (const std::string &qualifier : UnderWine() ? row.attempts : Lines{})
            calls.push_back(Call(qualifier));
        calls.push_back("unload mapistub");
        EXPECT_EQ(Calls(), calls);
        bool found = calls.size() > 5;
        EXPECT_EQ(run.output, Added(found ? Shown(besideComponent) : systemFile));
        EXPECT_NE(ReadBytes(found ? besideComponent : SystemFileOnDisk()).find("[MSEMS]"), std::string::npos);
        EXPECT_EQ(ReadBytes(found ? SystemFileOnDisk() : besideComponent), "");
        fs::remove(log);
        fs::remove(SystemFileOnDisk());
    }
}

}  // namespace

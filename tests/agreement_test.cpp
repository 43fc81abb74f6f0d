// Both builds on the same service files: the Linux program and the Windows
// program (under Wine) must print the same messages (apart from the form of
// the path), end with the same status, and leave files that the Win32 profile
// functions read as the same sections, keys and values in the same order.
//
// The Windows build is named by the environment, as for the end-to-end suite:
// EMSGRAFT_WINE (the Wine loader), EMSGRAFT_PROGRAM, EMSGRAFT_LIST_PROFILE
// (that build's list_profile.exe) and WINEPREFIX.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "test_support.h"

namespace {

const fs::path kCorpus = EMSGRAFT_CORPUS;
const char kLarge[] = "large (generated)";

std::vector<std::string> CorpusNames()
{
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(kCorpus))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    names.push_back(kLarge);
    return names;
}

// A service file far larger than any real one, with a registration of
// another service near its end and a partial provider section.
std::string LargeFile()
{
    std::string text = "; generated\r\n[Services]\r\n";
    for (int i = 0; i < 300; i++)
        text += "Service" + std::to_string(i) + "=Service number " + std::to_string(i) + "\r\n";
    for (int i = 0; i < 2000; i++) {
        text += "\r\n[Provider" + std::to_string(i) + "]\r\n";
        for (int k = 0; k < 8; k++)
            text += "PR_KEY_" + std::to_string(k) + "=value " + std::to_string(i * 8 + k) + "\r\n";
    }
    text += "[EMS_DSA]\r\nPR_DISPLAY_NAME=At the very end\r\n";
    return text;
}

// Every occurrence of `path` in `text` replaced by a placeholder.
std::string Masked(std::string text, const std::string &path)
{
    for (size_t at = text.find(path); at != std::string::npos; at = text.find(path, at))
        text.replace(at, path.size(), "<path>");
    return text;
}

std::string FromEnvironment(const char *name)
{
    const char *value = std::getenv(name);
    if (value == nullptr)
        throw std::runtime_error(std::string(name) + " must name the Windows build's part");
    return value;
}

// Runs a program of the Windows build under Wine.
RunResult RunUnderWine(const std::string &program, const std::vector<std::string> &args)
{
    if (!UnderWine())
        throw std::runtime_error("EMSGRAFT_WINE must name the Wine loader");
    RunOptions options;
    options.environment = {"WINEPREFIX=" + FromEnvironment("WINEPREFIX"), "WINEDEBUG=-all"};
    return RunTool(program, args, options);
}

class BothBuilds : public ::testing::TestWithParam<std::string> {};

TEST_P(BothBuilds, AgreeOnMessagesStatusAndEntries)
{
    ScratchDirectory dir;
    std::string original = GetParam() == kLarge ? LargeFile() : ReadBytes(kCorpus / GetParam());
    fs::path onLinux = dir / "linux.inf", onWindows = dir / "windows.inf";
    WriteBytes(onLinux, original);
    WriteBytes(onWindows, original);

    RunResult linux = RunProgram({kBuiltProgram, onLinux.string()});
    RunResult windows = RunUnderWine(FromEnvironment("EMSGRAFT_PROGRAM"), {WindowsPath(onWindows)});
    EXPECT_EQ(Masked(windows.output, WindowsPath(onWindows)), Masked(linux.output, onLinux.string()));
    EXPECT_EQ(windows.exitStatus, linux.exitStatus);
    EXPECT_TRUE(linux.exitStatus == 0 || linux.exitStatus == 1) << linux.exitStatus;
    if (linux.exitStatus == 1) {
        EXPECT_EQ(ReadBytes(onLinux), original);
        EXPECT_EQ(ReadBytes(onWindows), original);
    }

    RunResult listed =
        RunUnderWine(FromEnvironment("EMSGRAFT_LIST_PROFILE"), {WindowsPath(onLinux), WindowsPath(onWindows)});
    ASSERT_EQ(listed.exitStatus, 0) << listed.errors;
    size_t second = listed.output.find("file 2\n");
    ASSERT_NE(second, std::string::npos) << listed.output;
    std::string linuxEntries = listed.output.substr(0, second);
    std::string windowsEntries = listed.output.substr(second);
    linuxEntries.replace(0, 6, "file");
    windowsEntries.replace(0, 6, "file");
    // Both read through the same functions, so a listing without the
    // service would mean that the files were never reached.
    EXPECT_NE(linuxEntries.find("=Microsoft Exchange Server\n"), std::string::npos) << linuxEntries;
    EXPECT_EQ(windowsEntries, linuxEntries);
}

INSTANTIATE_TEST_SUITE_P(Corpus, BothBuilds, ::testing::ValuesIn(CorpusNames()),
                         [](const ::testing::TestParamInfo<std::string> &info) {
                             std::string name = info.param.substr(0, info.param.find_first_of(". "));
                             return name;
                         });

}  // namespace

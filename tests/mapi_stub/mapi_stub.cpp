// A stand-in for the MAPI stub library, built under the library's own file
// names: an ELF shared object on Linux, a DLL on Windows. It answers
// FGetComponentPath as a test tells it to and records what it was asked.
//
// EMSGRAFT_STUB_ANSWERS: the answers to successive calls, separated by "|":
//   "R" returns R and leaves the buffer alone; "R:path" first copies path into
//   the buffer. Calls beyond the list return 0.
// EMSGRAFT_STUB_INSTALLED: "LCID:path", MAPI installed in language LCID at
//   path. Each call then answers "1:path" when MAPI's own resolution finds
//   LCID, else "0": in the REG_DWORD values that the qualifier names, under
//   HKEY_CURRENT_USER\Software\ then HKEY_LOCAL_MACHINE\Software\ and its key
//   path (Linux: none); without one, the user's locale, the system's or 1033.
// EMSGRAFT_STUB_LOG: a file to which loading, each call and unloading are
//   appended, one line each.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

#ifndef STUB_NAME
#error "STUB_NAME must name the library"
#endif

namespace {

#ifdef _WIN32
// Kernel32 only: this also runs from DllMain, where the C runtime may be
// half torn down at process exit.
void Log(const std::string &line)
{
    char path[MAX_PATH];
    DWORD length = GetEnvironmentVariableA("EMSGRAFT_STUB_LOG", path, sizeof path);
    if (length == 0 || length >= sizeof path)
        return;
    HANDLE log = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, NULL);
    if (log == INVALID_HANDLE_VALUE)
        return;
    std::string text = line + "\n";
    DWORD written = 0;
    WriteFile(log, text.data(), (DWORD)text.size(), &written, NULL);
    CloseHandle(log);
}
#else
void Log(const std::string &line)
{
    const char *path = getenv("EMSGRAFT_STUB_LOG");
    if (path == nullptr)
        return;
    if (FILE *log = fopen(path, "ab")) {
        fprintf(log, "%s\n", line.c_str());
        fclose(log);
    }
}
#endif

#ifndef STUB_WITHOUT_FUNCTION
// A NUL-separated list with its strings shown ended by "\0".
std::string ShowList(const char *list)
{
    if (list == nullptr)
        return "NULL";
    std::string shown;
    for (const char *s = list; *s != '\0'; s += strlen(s) + 1)
        shown.append(s).append("\\0");
    return shown + "\\0";
}

std::string Answer(int call)
{
    const char *answers = getenv("EMSGRAFT_STUB_ANSWERS");
    std::string all = answers != nullptr ? answers : "";
    size_t begin = 0;
    for (int i = 0; i < call; ++i) {
        begin = all.find('|', begin);
        if (begin == std::string::npos)
            return "0";
        ++begin;
    }
    return all.substr(begin, all.find('|', begin) - begin);
}

bool Resolves(unsigned long language, const char *qualifier)
{
#ifdef _WIN32
    if (qualifier == nullptr)
        return language == GetUserDefaultLCID() || language == GetSystemDefaultLCID() || language == 1033;
    std::string key = "Software\\" + std::string(qualifier);
    for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE})
        for (const char *name = qualifier + strlen(qualifier) + 1; *name != '\0'; name += strlen(name) + 1) {
            DWORD value = 0, size = sizeof value;
            if (RegGetValueA(root, key.c_str(), name, RRF_RT_REG_DWORD, NULL, &value, &size) == ERROR_SUCCESS &&
                value == language)
                return true;
        }
    return false;
#else
    return qualifier == nullptr && language == 1033;
#endif
}

#endif

#ifndef _WIN32
struct LoadLog {
    LoadLog() { Log("load " STUB_NAME); }
    ~LoadLog() { Log("unload " STUB_NAME); }
} loadLog;
#endif

}  // namespace

#ifdef _WIN32
// "unload" only for FreeLibrary: a library still loaded when the process
// ends is told so with a non-null `reserved`, and logs "exit" instead.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH)
        Log("load " STUB_NAME);
    else if (reason == DLL_PROCESS_DETACH)
        Log((reserved == NULL ? "unload " : "exit ") + std::string(STUB_NAME));
    return TRUE;
}
#endif

#ifndef STUB_WITHOUT_FUNCTION
#ifdef _WIN32
// Exported undecorated (the build drops the "@20" of stdcall), as the
// program looks it up by its plain name.
extern "C" __declspec(dllexport) BOOL WINAPI FGetComponentPath(LPCSTR component, LPCSTR qualifier, LPSTR path,
                                                              DWORD size, BOOL install)
#else
extern "C" __attribute__((visibility("default"))) int FGetComponentPath(const char *component, const char *qualifier,
                                                                       char *path, uint32_t size, int install)
#endif
{
    static int calls = 0;
    const char *installed = getenv("EMSGRAFT_STUB_INSTALLED");
    std::string answer = installed == nullptr ? Answer(calls++) : "0";
    if (installed != nullptr && Resolves(strtoul(installed, nullptr, 10), qualifier))
        answer = "1" + std::string(strchr(installed, ':'));
    Log("call " + std::string(component) + " " + ShowList(qualifier) + " size=" + std::to_string(size) +
        " install=" + std::to_string(install) + " buffer=" + std::string(path));
    size_t colon = answer.find(':');
    if (colon != std::string::npos) {
        std::string written = answer.substr(colon + 1);
        memcpy(path, written.c_str(), written.size() + 1);
    }
    return atoi(answer.c_str());
}
#endif

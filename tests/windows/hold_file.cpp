// hold_file READY MILLISECONDS PATH: does what another program on a Windows
// machine does to a file for a while, as the tests need it. Creates the file
// READY once it has begun, and ends after MILLISECONDS.
//   PATH a file: holds it open for reading and writing, sharing both but not
//     its deletion, as editors and backup agents do.
//   PATH a directory ending in "\": opens every new emg*.tmp file that
//     appears in it for reading, at once, and holds it for 300 ms, as virus
//     scanners do.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

int main(int argc, char **argv)
{
    if (argc != 4)
        return 2;
    DWORD start = GetTickCount(), length = (DWORD)atol(argv[2]);
    std::string path = argv[3];
    bool directory = !path.empty() && path.back() == '\\';
    HANDLE held = INVALID_HANDLE_VALUE;
    if (!directory) {
        held = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
        if (held == INVALID_HANDLE_VALUE)
            return 3;
    }
    CloseHandle(CreateFileA(argv[1], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL));
    std::set<std::string> seen;
    std::vector<std::pair<HANDLE, DWORD>> scanning;  // a copy held, and since when
    while (GetTickCount() - start < length) {
        WIN32_FIND_DATAA found;
        HANDLE search = directory ? FindFirstFileA((path + "emg*.tmp").c_str(), &found) : INVALID_HANDLE_VALUE;
        for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileA(search, &found)) {
            if (!seen.insert(found.cFileName).second)
                continue;
            HANDLE copy = CreateFileA((path + found.cFileName).c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, NULL);
            if (copy != INVALID_HANDLE_VALUE)
                scanning.push_back({copy, GetTickCount()});
        }
        if (search != INVALID_HANDLE_VALUE)
            FindClose(search);
        for (size_t i = 0; i < scanning.size();) {
            if (GetTickCount() - scanning[i].second < 300) {
                i++;
                continue;
            }
            CloseHandle(scanning[i].first);
            scanning.erase(scanning.begin() + i);
        }
        Sleep(1);
    }
    for (auto &copy : scanning)
        CloseHandle(copy.first);
    if (held != INVALID_HANDLE_VALUE)
        CloseHandle(held);
    return 0;
}

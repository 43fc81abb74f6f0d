// differential_runner BATCH RESULTS DIRECTORY
//
// The Win32 side of the differential check, run under Wine: runs each
// sequence of BATCH on its file in DIRECTORY through the Win32 profile
// functions, then lists every section, key and value of that file and of the
// file that the POSIX layer left for the same sequence, as the Win32
// functions read them. Everything goes to RESULTS; one process runs the
// whole batch, because starting a Wine process costs far more than a
// sequence.
#include <windows.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "sequence.h"

namespace {

// A list of NUL-ended names (sections when `section` is NULL, else the keys
// of that section), in a buffer grown until the list is not cut.
std::string ListNames(const char *section, const std::string &path)
{
    std::vector<char> buffer;
    for (DWORD size = 1 << 12; size <= (1u << 26); size *= 4) {
        buffer.assign(size, '\0');
        DWORD length = section == NULL ? GetPrivateProfileSectionNamesA(buffer.data(), size, path.c_str())
                                       : GetPrivateProfileStringA(section, NULL, "", buffer.data(), size, path.c_str());
        if (length < size - 2)  // size - 2 means that the list was cut
            return std::string(buffer.data(), length);
    }
    fprintf(stderr, "cannot list %s\n", path.c_str());
    exit(2);
}

std::vector<std::string> Split(const std::string &list)
{
    std::vector<std::string> names;
    for (size_t at = 0; at < list.size(); at += names.back().size() + 1)
        names.push_back(list.c_str() + at);
    return names;
}

std::string LowerAscii(std::string name)
{
    for (char &c : name)
        c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    return name;
}

// Every entry of the file: the keys before the first header under "[]",
// then each section in file order, each key with the value read by its name.
// Names that match one already read (ASCII letters in either case) read the
// same, so their results are reused: every call costs Wine a file lookup.
std::string Listing(const std::string &path)
{
    static char value[1 << 20];
    std::string listing;
    std::map<std::string, std::vector<std::pair<std::string, std::string>>> sectionEntries;
    std::vector<std::string> sections = Split(ListNames(NULL, path));
    sections.insert(sections.begin(), "");
    for (const std::string &section : sections) {
        listing.append("[").append(section).append("]\n");
        auto known = sectionEntries.find(LowerAscii(section));
        if (known == sectionEntries.end()) {
            std::vector<std::pair<std::string, std::string>> entries;
            std::map<std::string, std::string> values;
            for (const std::string &key : Split(ListNames(section.c_str(), path))) {
                auto read = values.find(LowerAscii(key));
                if (read == values.end()) {
                    DWORD length =
                        GetPrivateProfileStringA(section.c_str(), key.c_str(), "", value, sizeof value, path.c_str());
                    read = values.emplace(LowerAscii(key), std::string(value, length)).first;
                }
                entries.emplace_back(key, read->second);
            }
            known = sectionEntries.emplace(LowerAscii(section), entries).first;
        }
        for (const auto &[key, text] : known->second)
            listing.append(key).append("=").append(text).append("\n");
    }
    return listing;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: differential_runner BATCH RESULTS DIRECTORY\n");
        return 2;
    }
    FILE *batch = fopen(argv[1], "rb");
    FILE *results = fopen(argv[2], "wb");
    if (batch == NULL || results == NULL) {
        fprintf(stderr, "cannot open %s or %s\n", argv[1], argv[2]);
        return 2;
    }
    std::string directory = std::string(argv[3]) + "\\";
    // File names in the batch are relative, with "/" between folders.
    auto pathOf = [&directory](std::string name) {
        std::replace(name.begin(), name.end(), '/', '\\');
        return directory + name;
    };
    uint64_t count = 0;
    if (!GetNumber(batch, count)) {
        fprintf(stderr, "malformed batch\n");
        return 2;
    }
    // The driver needs to know how the Win32 functions convert bytes above 0x7F.
    PutNumber(results, GetACP());
    for (uint64_t i = 0; i < count; i++) {
        Sequence sequence;
        std::string otherFile;
        if (!GetSequence(batch, sequence) || !GetString(batch, otherFile)) {
            fprintf(stderr, "malformed batch at sequence %llu\n", (unsigned long long)i);
            return 2;
        }
        std::string path = pathOf(sequence.fileName);
        std::vector<ReadResult> reads = RunOperations(sequence.operations, path);
        PutNumber(results, sequence.seed);
        PutNumber(results, reads.size());
        for (const ReadResult &read : reads) {
            PutNumber(results, read.length);
            PutString(results, read.bytes);
        }
        PutString(results, Listing(path));
        PutString(results, Listing(pathOf(otherFile)));
    }
    if (fclose(results) != 0) {
        fprintf(stderr, "cannot write %s\n", argv[2]);
        return 2;
    }
    return 0;
}

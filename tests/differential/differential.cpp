// differential [--seed N] [--count N] --runner PATH [--wine PATH] [--keep DIRECTORY] [--show]
//
// Differential check of the POSIX profile layer against the Win32 profile
// functions: generates `count` random sequences (seeds N, N+1, ...), runs
// each through the POSIX layer here and through the Win32 functions in the
// Windows runner under Wine (one Wine process for all), and reports every
// sequence whose reads give different results, or whose files the Win32
// functions read as different entries once written. Each report names the
// sequence's seed; --seed SEED --count 1 --show runs it again and shows it.
// Exit status: 0 when all agree, 1 on a disagreement, 2 when the check
// itself cannot run.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "random_profile.h"
#include "sequence.h"
#include "test_support.h"

namespace {

const char kByteOrderMark[] = "\xEF\xBB\xBF";

struct Options {
    uint64_t seed = 1;
    uint64_t count = 100;
    std::string runner;
    std::string wine = "/usr/bin/wine";
    std::string keep;
    bool show = false;
};

// Bytes as a C string literal would show them; the middle of a long one
// left out.
std::string Escaped(const std::string &bytes)
{
    if (bytes.size() > 200)
        return Escaped(bytes.substr(0, 120)) + "...(" + std::to_string(bytes.size()) + " bytes)..." +
               Escaped(bytes.substr(bytes.size() - 40));
    std::string shown;
    char hex[8];
    for (char c : bytes) {
        unsigned char u = static_cast<unsigned char>(c);
        if (c == '\\' || c == '"') {
            shown.push_back('\\');
            shown.push_back(c);
        } else if (u >= 0x20 && u < 0x7F) {
            shown.push_back(c);
        } else {
            snprintf(hex, sizeof hex, "\\x%02X", u);
            shown.append(hex);
        }
    }
    return "\"" + shown + "\"";
}

std::string Describe(const Operation &operation)
{
    std::string text;
    switch (operation.kind) {
    case READ_KEY:
        text = "read " + Escaped(operation.section) + " " + Escaped(operation.key);
        break;
    case LIST_KEYS:
        text = "list " + Escaped(operation.section);
        break;
    case WRITE_KEY:
        return "write " + Escaped(operation.section) + " " + Escaped(operation.key) + " = " + Escaped(operation.value);
    default:
        return "flush";
    }
    text += ", default " + (operation.defaultValue ? Escaped(*operation.defaultValue) : std::string("NULL"));
    return text + ", buffer " + std::to_string(operation.bufferSize);
}

// The sequence, each read with what the Win32 functions gave.
void Show(const RandomSequence &sequence, const std::vector<ReadResult> &reads)
{
    printf("  file%s, one line per line of the file:\n",
           sequence.utf8 ? " (UTF-8 with a byte-order mark, shown in Windows-1252)" : "");
    const std::string &text = sequence.text;
    for (size_t begin = 0; begin < text.size();) {
        size_t end = text.find_first_of("\r\n", begin);
        end = end == std::string::npos ? text.size() : end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
        printf("    %s\n", Escaped(text.substr(begin, end - begin)).c_str());
        begin = end;
    }
    size_t read = 0;
    for (const Operation &operation : sequence.operations) {
        printf("  %s\n", Describe(operation).c_str());
        if ((operation.kind == READ_KEY || operation.kind == LIST_KEYS) && read < reads.size()) {
            printf("    -> %u %s\n", reads[read].length, Escaped(reads[read].bytes).c_str());
            read++;
        }
    }
}

// The operations with every name and value in UTF-8, for a UTF-8 file.
std::vector<Operation> InUtf8(std::vector<Operation> operations)
{
    for (Operation &operation : operations) {
        operation.section = Utf8FromWindows1252(operation.section);
        operation.key = Utf8FromWindows1252(operation.key);
        operation.value = Utf8FromWindows1252(operation.value);
        if (operation.defaultValue)
            operation.defaultValue = Utf8FromWindows1252(*operation.defaultValue);
    }
    return operations;
}

// A read of a UTF-8 file in Windows-1252, as the Win32 side gives it.
bool InWindows1252(ReadResult &read)
{
    std::string text, terminator;
    if (!Windows1252FromUtf8(read.bytes.substr(0, read.length), text) ||
        !Windows1252FromUtf8(read.bytes.substr(std::min<size_t>(read.length, read.bytes.size())), terminator))
        return false;
    read.length = static_cast<uint32_t>(text.size());
    read.bytes = text + terminator;
    return true;
}

// The first line where two listings differ, with the line before it.
std::string FirstDifference(const std::string &posix, const std::string &win32)
{
    size_t at = 0, previous = 0;
    while (at < posix.size() && at < win32.size()) {
        size_t end = posix.find('\n', at);
        if (end == std::string::npos || posix.compare(at, end - at + 1, win32, at, end - at + 1) != 0)
            break;
        previous = at;
        at = end + 1;
    }
    auto line = [](const std::string &text, size_t from) {
        return from >= text.size() ? std::string("(end)") : Escaped(text.substr(from, text.find('\n', from) - from));
    };
    return "    after " + line(posix, previous) + "\n    POSIX layer's file: " + line(posix, at) +
           "\n    Win32's file:       " + line(win32, at) + "\n";
}

bool ParseOptions(int argc, char **argv, Options &options)
{
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (arg == "--show")
            options.show = true;
        else if (arg == "--seed" && hasValue)
            options.seed = strtoull(argv[++i], NULL, 0);
        else if (arg == "--count" && hasValue)
            options.count = strtoull(argv[++i], NULL, 0);
        else if (arg == "--runner" && hasValue)
            options.runner = argv[++i];
        else if (arg == "--wine" && hasValue)
            options.wine = argv[++i];
        else if (arg == "--keep" && hasValue)
            options.keep = argv[++i];
        else
            return false;
    }
    return !options.runner.empty() && options.count > 0;
}

double Seconds(const timespec &from)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - from.tv_sec) + (now.tv_nsec - from.tv_nsec) / 1e9;
}

// Runs sequences `first` to `first + count - 1` (one Wine process for all of
// them) and adds the seeds of those that disagree. Returns false when the
// check cannot run.
bool RunBatch(const Options &options, const fs::path &work, uint64_t first, uint64_t count,
              std::vector<uint64_t> &disagreeing, double &posixSeconds, double &win32Seconds)
{
    // The POSIX side, in this process; its files are left for the Win32 side
    // to list.
    timespec started;
    clock_gettime(CLOCK_MONOTONIC, &started);
    std::vector<RandomSequence> sequences;
    std::vector<std::vector<ReadResult>> posixReads;
    std::vector<bool> posixInvalid;
    FILE *batch = fopen((work / "batch").c_str(), "wb");
    if (batch == NULL) {
        perror("batch");
        return false;
    }
    PutNumber(batch, count);
    for (uint64_t i = 0; i < count; i++) {
        RandomSequence sequence = GenerateSequence(first + i);
        // A hundred sequences a folder: lookups in a large folder slow Wine down.
        std::string folder = std::to_string(i / 100);
        std::string name = folder + "/" + std::to_string(sequence.seed);
        if (i % 100 == 0)
            fs::create_directory(work / folder);
        std::string bytes = sequence.utf8 ? kByteOrderMark + Utf8FromWindows1252(sequence.text) : sequence.text;
        WriteBytes(work / (name + ".win32.inf"), bytes);
        WriteBytes(work / (name + ".posix.inf"), bytes);

        std::vector<ReadResult> reads = RunOperations(
            sequence.utf8 ? InUtf8(sequence.operations) : sequence.operations, (work / (name + ".posix.inf")).string());
        bool invalid = false;
        for (ReadResult &read : reads)
            invalid = (sequence.utf8 && !InWindows1252(read)) || invalid;
        posixReads.push_back(reads);
        posixInvalid.push_back(invalid);

        PutSequence(batch, Sequence{sequence.seed, name + ".win32.inf", sequence.operations});
        PutString(batch, name + ".posix.inf");
        sequences.push_back(std::move(sequence));
    }
    if (fclose(batch) != 0) {
        perror("batch");
        return false;
    }
    posixSeconds += Seconds(started);

    // The Win32 side. LC_ALL decides Wine's ANSI code page; "C" gives
    // Windows-1252.
    clock_gettime(CLOCK_MONOTONIC, &started);
    RunOptions wineOptions;
    wineOptions.environment = {"LC_ALL=C", "WINEDEBUG=-all"};
    RunResult run = RunProgram({options.wine, options.runner, WindowsPath((work / "batch").string()),
                                WindowsPath((work / "results").string()), WindowsPath(work.string())},
                               wineOptions);
    win32Seconds += Seconds(started);
    if (run.exitStatus != 0) {
        fprintf(stderr, "the Windows runner failed (status %d, signal %d):\n%s%s", run.exitStatus, run.signal,
                run.output.c_str(), run.errors.c_str());
        return false;
    }
    FILE *results = fopen((work / "results").c_str(), "rb");
    uint64_t codePage = 0;
    if (results == NULL || !GetNumber(results, codePage)) {
        fprintf(stderr, "the Windows runner left no results\n");
        return false;
    }
    if (codePage != 1252) {
        fprintf(stderr, "Wine's ANSI code page is %llu, not 1252: the comparison of bytes above 0x7F needs 1252\n",
                (unsigned long long)codePage);
        return false;
    }

    for (size_t i = 0; i < sequences.size(); i++) {
        const RandomSequence &sequence = sequences[i];
        uint64_t seed = 0, reads = 0;
        std::vector<ReadResult> win32Reads;
        std::string win32Listing, posixListing;
        bool complete = GetNumber(results, seed) && GetNumber(results, reads) && seed == sequence.seed &&
                        reads == posixReads[i].size();
        for (uint64_t r = 0; complete && r < reads; r++) {
            ReadResult read;
            uint64_t length = 0;
            complete = GetNumber(results, length) && GetString(results, read.bytes);
            read.length = static_cast<uint32_t>(length);
            win32Reads.push_back(read);
        }
        if (!complete || !GetString(results, win32Listing) || !GetString(results, posixListing)) {
            fprintf(stderr, "the Windows runner's results end early, at sequence %llu\n",
                    (unsigned long long)sequence.seed);
            fclose(results);
            return false;
        }

        std::string report;
        if (posixInvalid[i])
            report += "  a read of the POSIX layer gave bytes that are not UTF-8 in Windows-1252\n";
        size_t read = 0;
        for (size_t o = 0; o < sequence.operations.size(); o++) {
            const Operation &operation = sequence.operations[o];
            if (operation.kind != READ_KEY && operation.kind != LIST_KEYS)
                continue;
            const ReadResult &posix = posixReads[i][read], &win32 = win32Reads[read];
            read++;
            if (posix.length != win32.length || posix.bytes != win32.bytes)
                report += "  operation " + std::to_string(o + 1) + ", " + Describe(operation) + ":\n    POSIX layer " +
                          std::to_string(posix.length) + " " + Escaped(posix.bytes) + "\n    Win32       " +
                          std::to_string(win32.length) + " " + Escaped(win32.bytes) + "\n";
        }
        if (posixListing != win32Listing)
            report += "  after the writes, the Win32 functions read the two files differently:\n" +
                      FirstDifference(posixListing, win32Listing);

        if (!report.empty()) {
            disagreeing.push_back(sequence.seed);
            printf("disagreement in sequence %llu\n%s", (unsigned long long)sequence.seed, report.c_str());
            if (!options.show)
                printf("  shown by: scripts/differential.sh --seed %llu --count 1 --show\n",
                       (unsigned long long)sequence.seed);
        } else if (options.show) {
            printf("sequence %llu agrees\n", (unsigned long long)sequence.seed);
        }
        if (options.show) {
            Show(sequence, win32Reads);
            printf("  entries after the writes, as the Win32 functions read them:\n%s", win32Listing.c_str());
        }
    }
    fclose(results);
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        fprintf(stderr,
                "usage: differential [--seed N] [--count N] --runner PATH [--wine PATH] [--keep DIRECTORY] [--show]\n");
        return 2;
    }
    std::vector<uint64_t> disagreeing;
    double posixSeconds = 0, win32Seconds = 0;
    // Batches of a few thousand: one Wine process each, and files on disk
    // for one batch at a time.
    const uint64_t kBatch = 5000;
    for (uint64_t done = 0; done < options.count; done += kBatch) {
        std::unique_ptr<ScratchDirectory> scratch;
        fs::path work = options.keep;
        if (work.empty()) {
            scratch = std::make_unique<ScratchDirectory>();
            work = scratch->Path();
        }
        fs::create_directories(work);
        if (!RunBatch(options, fs::absolute(work), options.seed + done, std::min(kBatch, options.count - done),
                      disagreeing, posixSeconds, win32Seconds))
            return 2;
    }
    printf("%llu sequences from seed %llu (POSIX layer %.1f s, Win32 under Wine %.1f s): %zu disagreements\n",
           (unsigned long long)options.count, (unsigned long long)options.seed, posixSeconds, win32Seconds,
           disagreeing.size());
    if (!disagreeing.empty()) {
        printf("seeds of the disagreements:");
        for (uint64_t seed : disagreeing)
            printf(" %llu", (unsigned long long)seed);
        printf("\n");
    }
    return disagreeing.empty() ? 0 : 1;
}

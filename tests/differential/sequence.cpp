#include "sequence.h"

#ifdef _WIN32
#include <windows.h>  // the Win32 functions themselves, not the Windows layer's wrapper
#else
#include "platform/profile.h"
#endif

#include <string.h>

// The Win32 functions read and write any file as it stands. The POSIX layer
// reads and writes the file of an update (LocateProfile, ReadProfile,
// BeginProfileUpdate), which a flush commits: after one it takes the steps
// again, as the Win32 functions read the file anew.
static void BeginUpdate(const std::string &path)
{
#ifndef _WIN32
    char profile[MAX_PATH], draft[MAX_PATH];
    if (LocateProfile(path.c_str(), profile, sizeof profile) && ReadProfile(profile))
        BeginProfileUpdate(profile, draft, sizeof draft);
#else
    (void)path;
#endif
}

std::vector<ReadResult> RunOperations(const std::vector<Operation> &operations, const std::string &path)
{
    std::vector<ReadResult> results;
    std::vector<char> buffer;
    BeginUpdate(path);
    for (const Operation &operation : operations) {
        switch (operation.kind) {
        case READ_KEY:
        case LIST_KEYS: {
            // Bytes that no layer writes, so that a missing terminator shows.
            buffer.assign(operation.bufferSize, '\x7f');
            const char *key = operation.kind == READ_KEY ? operation.key.c_str() : NULL;
            const char *fallback = operation.defaultValue ? operation.defaultValue->c_str() : NULL;
            DWORD length = GetPrivateProfileStringA(operation.section.c_str(), key, fallback, buffer.data(),
                                                    operation.bufferSize, path.c_str());
            ReadResult result;
            result.length = length;
            result.bytes.assign(buffer.data(), length < buffer.size() ? length + 1 : buffer.size());
            results.push_back(result);
            break;
        }
        case WRITE_KEY:
            WritePrivateProfileStringA(operation.section.c_str(), operation.key.c_str(), operation.value.c_str(),
                                       path.c_str());
            break;
        case FLUSH:
            WritePrivateProfileStringA(NULL, NULL, NULL, path.c_str());
            BeginUpdate(path);
            break;
        }
    }
    WritePrivateProfileStringA(NULL, NULL, NULL, path.c_str());
    return results;
}

void PutNumber(FILE *out, uint64_t number) { fprintf(out, "%llu;", (unsigned long long)number); }

void PutString(FILE *out, const std::string &text)
{
    fprintf(out, "%llu:", (unsigned long long)text.size());
    fwrite(text.data(), 1, text.size(), out);
}

void PutOptional(FILE *out, const std::optional<std::string> &text)
{
    if (text)
        PutString(out, *text);
    else
        fputc('-', out);
}

// A decimal number ended by `end`; false on anything else.
static bool GetDecimal(FILE *in, char end, uint64_t &number)
{
    number = 0;
    int digits = 0;
    for (int c = fgetc(in); c != end; c = fgetc(in)) {
        if (c < '0' || c > '9' || ++digits > 19)
            return false;
        number = number * 10 + (c - '0');
    }
    return digits > 0;
}

bool GetNumber(FILE *in, uint64_t &number) { return GetDecimal(in, ';', number); }

bool GetString(FILE *in, std::string &text)
{
    uint64_t size = 0;
    if (!GetDecimal(in, ':', size) || size > (1u << 30))
        return false;
    text.resize(size);
    return fread(&text[0], 1, size, in) == size;
}

bool GetOptional(FILE *in, std::optional<std::string> &text)
{
    int c = fgetc(in);
    if (c == '-') {
        text.reset();
        return true;
    }
    if (c == EOF || ungetc(c, in) == EOF)
        return false;
    text.emplace();
    return GetString(in, *text);
}

void PutSequence(FILE *out, const Sequence &sequence)
{
    PutNumber(out, sequence.seed);
    PutString(out, sequence.fileName);
    PutNumber(out, sequence.operations.size());
    for (const Operation &operation : sequence.operations) {
        fputc(operation.kind, out);
        PutString(out, operation.section);
        PutString(out, operation.key);
        PutOptional(out, operation.defaultValue);
        PutString(out, operation.value);
        PutNumber(out, operation.bufferSize);
    }
}

bool GetSequence(FILE *in, Sequence &sequence)
{
    uint64_t count = 0;
    if (!GetNumber(in, sequence.seed) || !GetString(in, sequence.fileName) || !GetNumber(in, count))
        return false;
    sequence.operations.assign(count, Operation());
    for (Operation &operation : sequence.operations) {
        int kind = fgetc(in);
        uint64_t size = 0;
        if (kind != READ_KEY && kind != LIST_KEYS && kind != WRITE_KEY && kind != FLUSH)
            return false;
        operation.kind = static_cast<char>(kind);
        if (!GetString(in, operation.section) || !GetString(in, operation.key) ||
            !GetOptional(in, operation.defaultValue) || !GetString(in, operation.value) || !GetNumber(in, size))
            return false;
        operation.bufferSize = static_cast<uint32_t>(size);
    }
    return true;
}

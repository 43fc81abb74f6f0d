// Random service files and random sequences of profile operations on them,
// the same for the same seed on every machine.
#ifndef EMSGRAFT_TESTS_DIFFERENTIAL_RANDOM_PROFILE_H
#define EMSGRAFT_TESTS_DIFFERENTIAL_RANDOM_PROFILE_H

#include <stdint.h>

#include <string>
#include <vector>

#include "sequence.h"

// SplitMix64: small, fast, and fully determined by its seed.
class Random {
public:
    explicit Random(uint64_t seed) : state_(seed) {}
    uint64_t Next();
    uint32_t Below(uint32_t bound) { return static_cast<uint32_t>(Next() % bound); }
    bool Percent(uint32_t chance) { return Below(100) < chance; }

private:
    uint64_t state_;
};

struct RandomSequence {
    uint64_t seed = 0;
    // The file starts with a UTF-8 byte-order mark and holds `text` in UTF-8;
    // otherwise it holds `text` as it is. (So a UTF-8 file is always valid
    // UTF-8: Wine reads any other bytes there as "?" and writes them back so.)
    bool utf8 = false;
    // The file's text, and all names and values of the operations, in
    // Windows-1252, the ANSI code page of the Win32 side.
    std::string text;
    std::vector<Operation> operations;
};

RandomSequence GenerateSequence(uint64_t seed);

// Windows-1252 text in UTF-8, and back; nothing when `utf8` is not valid
// UTF-8 or holds a character that Windows-1252 lacks.
std::string Utf8FromWindows1252(const std::string &text);
bool Windows1252FromUtf8(const std::string &utf8, std::string &text);

#endif

// A sequence of profile operations on one file, as the differential check
// runs it through both profile layers, and the files that carry sequences and
// results between the Linux driver and the Windows runner.
#ifndef EMSGRAFT_TESTS_DIFFERENTIAL_SEQUENCE_H
#define EMSGRAFT_TESTS_DIFFERENTIAL_SEQUENCE_H

#include <stdint.h>
#include <stdio.h>

#include <optional>
#include <string>
#include <vector>

enum OperationKind : char {
    READ_KEY = 'r',   // GetPrivateProfileStringA with a key
    LIST_KEYS = 'l',  // GetPrivateProfileStringA with a NULL key
    WRITE_KEY = 'w',  // WritePrivateProfileStringA with section, key and value
    FLUSH = 'f',      // WritePrivateProfileStringA(NULL, NULL, NULL, path)
};

struct Operation {
    char kind = READ_KEY;
    std::string section;
    std::string key;                          // READ_KEY, WRITE_KEY
    std::optional<std::string> defaultValue;  // READ_KEY, LIST_KEYS; none passes NULL
    std::string value;                        // WRITE_KEY
    uint32_t bufferSize = 0;                  // READ_KEY, LIST_KEYS
};

struct Sequence {
    uint64_t seed = 0;
    std::string fileName;  // inside the work directory of the side that runs it
    std::vector<Operation> operations;
};

// What one read gave: its result and the buffer up to and including the byte
// at that index (the terminator, when the layer wrote one).
struct ReadResult {
    uint32_t length = 0;
    std::string bytes;
};

// Runs the operations on `path` through GetPrivateProfileStringA and
// WritePrivateProfileStringA, ending with a flush, and gives the result of
// each read in order.
std::vector<ReadResult> RunOperations(const std::vector<Operation> &operations, const std::string &path);

// Length-prefixed fields, so that any bytes (NULs included) pass unchanged.
void PutNumber(FILE *out, uint64_t number);
void PutString(FILE *out, const std::string &text);
void PutOptional(FILE *out, const std::optional<std::string> &text);
// Each returns false at the end of the input or on a malformed field.
bool GetNumber(FILE *in, uint64_t &number);
bool GetString(FILE *in, std::string &text);
bool GetOptional(FILE *in, std::optional<std::string> &text);

void PutSequence(FILE *out, const Sequence &sequence);
bool GetSequence(FILE *in, Sequence &sequence);

#endif

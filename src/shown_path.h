#ifndef EMSGRAFT_SHOWN_PATH_H
#define EMSGRAFT_SHOWN_PATH_H

#include "platform/base.h"

// Room for any path of MAX_PATH bytes with every byte escaped.
#define SHOWN_PATH_SIZE (4 * MAX_PATH)

// Writes `Path` as messages show it into `Shown` (`Size` bytes): control
// bytes (below 0x20, and 0x7f) escaped as \n, \t, \x1b and the like, and on
// POSIX the C1 and bidirectional controls, byte by byte, as \x9b or
// \xe2\x80\xae, so that a path can neither start a line of its own nor drive
// the terminal. Every other byte stays as it is.
void ShowPath(const char *Path, char *Shown, DWORD Size);

#endif

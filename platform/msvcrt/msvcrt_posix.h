// _setmode, _fileno, _O_BINARY and _O_TEXT where the C runtime knows no text mode: every stream
// is binary, and asking for either mode changes nothing. Any thread.
#pragma once

#include <stdio.h>

#define _O_TEXT 0x4000
#define _O_BINARY 0x8000

// The mode the descriptor had: always binary.
inline int _setmode(int /*fd*/, int /*mode*/) { return _O_BINARY; }
inline int _fileno(FILE* stream) { return fileno(stream); }

// talvencat's command line.
#pragma once

#include <string>

#include "talven.h"

struct CatOptions {
    bool listen = false;
    bool echo = false;
    bool hex = false;
    bool pure = false;
    bool log = false;
    bool quiet = false;
    bool help = false;
    UINT maxPacket = 0;  // 0: the library's default bound
    std::string host;
    UINT port = 0;
};

// The text that --help prints.
extern const char kCatUsage[];

// Parses the arguments after the program name. On a usage error returns false and sets
// `error` to a one-line reason.
bool ParseCatOptions(int argc, const char* const* argv, CatOptions& options, std::string& error);

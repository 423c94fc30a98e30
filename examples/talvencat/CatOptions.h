// talvencat's command line.
#pragma once

#include <string>

#include "talven.h"

// Bytes that may wait to be sent to one client unless --max-queue says otherwise.
constexpr UINT kDefaultMaxQueue = 4u << 20;
// --reconnect: the first wait, the longest, and no bound on the attempts.
constexpr UINT kReconnectInitialMs = 500;
constexpr UINT kReconnectMaxMs = 30000;

struct CatOptions {
    bool listen = false;
    bool echo = false;
    bool hex = false;
    bool pure = false;
    bool log = false;
    bool quiet = false;
    bool help = false;
    bool stats = false;
    bool reconnect = false;
    UINT connectTimeout = 0;           // seconds; 0: the system's
    UINT maxPacket = 0;  // 0: the library's default bound
    UINT maxQueue = kDefaultMaxQueue;  // bytes that may wait to be sent to one client
    UINT idleTimeout = 0;              // seconds; 0: never
    UINT drainTimeout = 10;            // seconds; 0: close a half-closed connection at once
    std::string host;
    UINT port = 0;
};

// The text that --help prints.
extern const char kCatUsage[];

// Parses the arguments after the program name. On a usage error returns false and sets
// `error` to a one-line reason.
bool ParseCatOptions(int argc, const char* const* argv, CatOptions& options, std::string& error);

// Small helpers the examples share: WinSock error texts and IPv4 name resolution.
#pragma once

#include <string>

#include "talven.h"

// "WSAECONNREFUSED: Connection refused" for 10061; "[0] No Error" for 0.
std::string WinSockErrorText(int code);

// Turns a dotted address or a host name into dotted IPv4 text. On failure returns false and
// sets `error` to the WinSock error of the lookup. Any thread.
bool ResolveIPv4(const std::string& host, std::string& dotted, int& error);

#include "common/WinSockText.h"

#include <cstring>

std::string WinSockErrorText(int code) {
    CString text;
    QmGetWSAErrorString(code, text);
    if (text.IsEmpty()) {
        return "error " + std::to_string(code);
    }
    return std::string(text.GetString());
}

bool ResolveIPv4(const std::string& host, std::string& dotted, int& error) {
    const winsock::u_long numeric = winsock::inet_addr(host.c_str());
    if (numeric != INADDR_NONE || host == "255.255.255.255") {
        winsock::in_addr addr;
        addr.s_addr = numeric;
        dotted = winsock::inet_ntoa(addr);
        return true;
    }
    const winsock::hostent* entry = winsock::gethostbyname(host.c_str());
    if (entry == nullptr || entry->h_addr_list == nullptr || entry->h_addr_list[0] == nullptr) {
        error = WSAGetLastError();
        if (error == 0) {
            error = WSAHOST_NOT_FOUND;
        }
        return false;
    }
    winsock::in_addr addr;
    std::memcpy(&addr, entry->h_addr_list[0], sizeof addr);
    dotted = winsock::inet_ntoa(addr);
    return true;
}

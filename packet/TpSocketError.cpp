#include "packet/TpSocketError.h"

#include <mutex>

#include "socket/QmSocket.h"

void StoreTpSocketError(int code) {
    static std::mutex lock;
    std::lock_guard<std::mutex> hold(lock);
    QmGetWSAErrorString(code, g_strTpSocketError);
}

// Registered window classes, by name and by atom. Names compare exactly (case-sensitive).
//
// Threads: any thread; one lock guards the table (registration and creation are rare).
#pragma once

#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/user32/user32.h"

namespace talven::platform::user32 {

class WindowClassTable {
public:
    static WindowClassTable& Instance();

    // 0 when the class exists already or wc is unusable.
    ATOM Register(const WNDCLASSA& wc);
    bool Unregister(LPCSTR nameOrAtom);
    // The class's procedure and name; false when no such class.
    bool Find(LPCSTR nameOrAtom, WNDPROC& proc, std::string& name);

private:
    WindowClassTable() = default;
    struct Entry {
        WNDPROC proc;
        ATOM atom;
    };
    // A class may be named by a string or by its atom (MAKEINTATOM: a value below 0x10000).
    std::unordered_map<std::string, Entry>::iterator Lookup(LPCSTR nameOrAtom);

    std::mutex lock_;
    std::unordered_map<std::string, Entry> classes_;
    ATOM nextAtom_ = 0xC000;
};

}  // namespace talven::platform::user32

#include "platform/user32/WindowClassTable.h"

#include <cstdint>
#include <new>

namespace talven::platform::user32 {

WindowClassTable& WindowClassTable::Instance() {
    alignas(WindowClassTable) static unsigned char storage[sizeof(WindowClassTable)];
    static WindowClassTable* table = ::new (static_cast<void*>(storage)) WindowClassTable();
    return *table;
}

std::unordered_map<std::string, WindowClassTable::Entry>::iterator WindowClassTable::Lookup(
    LPCSTR nameOrAtom) {
    const auto value = reinterpret_cast<std::uintptr_t>(nameOrAtom);
    if (value < 0x10000) {
        for (auto it = classes_.begin(); it != classes_.end(); ++it) {
            if (it->second.atom == value) {
                return it;
            }
        }
        return classes_.end();
    }
    return classes_.find(nameOrAtom);
}

ATOM WindowClassTable::Register(const WNDCLASSA& wc) {
    if (wc.lpfnWndProc == nullptr || wc.lpszClassName == nullptr ||
        reinterpret_cast<std::uintptr_t>(wc.lpszClassName) < 0x10000) {
        return 0;
    }
    std::lock_guard<std::mutex> hold(lock_);
    if (nextAtom_ == 0xFFFF) {
        return 0;
    }
    auto inserted = classes_.emplace(wc.lpszClassName, Entry{wc.lpfnWndProc, nextAtom_});
    if (!inserted.second) {
        return 0;
    }
    return nextAtom_++;
}

bool WindowClassTable::Unregister(LPCSTR nameOrAtom) {
    if (nameOrAtom == nullptr) {
        return false;
    }
    std::lock_guard<std::mutex> hold(lock_);
    auto it = Lookup(nameOrAtom);
    if (it == classes_.end()) {
        return false;
    }
    classes_.erase(it);
    return true;
}

bool WindowClassTable::Find(LPCSTR nameOrAtom, WNDPROC& proc, std::string& name) {
    if (nameOrAtom == nullptr) {
        return false;
    }
    std::lock_guard<std::mutex> hold(lock_);
    auto it = Lookup(nameOrAtom);
    if (it == classes_.end()) {
        return false;
    }
    proc = it->second.proc;
    name = it->first;
    return true;
}

}  // namespace talven::platform::user32

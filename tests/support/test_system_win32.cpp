#include "support/test_system.h"

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <cstdio>

#include "talven.h"

namespace talven_test {
namespace {

struct SavedZone {
    bool saved = false;
    std::string value;  // empty: TZ was not set
};
SavedZone g_zone;

}  // namespace

// Wine's ntdll exports its version; Windows' has no such function.
bool UnderWine() {
    static const bool wine = [] {
        const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
        return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
    }();
    return wine;
}

bool ExpectDocumented(const char* difference) {
    if (!UnderWine()) {
        return true;
    }
    std::printf("[ WINE     ] %s\n", difference);
    ::testing::Test::RecordProperty("wine_difference", difference);
    return false;
}

void SetTimeZone(const char* tz) {
    if (!g_zone.saved) {
        const char* old = std::getenv("TZ");
        g_zone = SavedZone{true, old != nullptr ? old : ""};
    }
    // An empty value removes the variable from the C runtime's environment.
    _putenv_s("TZ", tz != nullptr ? tz : g_zone.value.c_str());
    _tzset();
}

int OpenDescriptors() {
    DWORD handles = 0;
    ::GetProcessHandleCount(::GetCurrentProcess(), &handles);
    return static_cast<int>(handles);
}

// Every busy block of every heap of the process: the C runtime's heap is one of them.
std::uint64_t HeapInUse() {
    std::vector<HANDLE> heaps(64);
    DWORD count = ::GetProcessHeaps(static_cast<DWORD>(heaps.size()), heaps.data());
    if (count > heaps.size()) {
        heaps.resize(count);
        count = ::GetProcessHeaps(count, heaps.data());
    }
    std::uint64_t busy = 0;
    for (DWORD i = 0; i < count && i < heaps.size(); ++i) {
        if (!::HeapLock(heaps[i])) {
            continue;
        }
        PROCESS_HEAP_ENTRY entry{};
        while (::HeapWalk(heaps[i], &entry)) {
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) {
                busy += entry.cbData;
            }
        }
        ::HeapUnlock(heaps[i]);
    }
    return busy;
}

// Windows sets no per-process limit on sockets that a test could reach.
bool EnoughDescriptors(std::uint64_t) { return true; }

}  // namespace talven_test

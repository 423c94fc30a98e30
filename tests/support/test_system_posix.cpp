#include "support/test_system.h"

#include <malloc.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>

namespace talven_test {
namespace {

struct SavedZone {
    bool saved = false;
    bool had = false;
    std::string value;
};
SavedZone g_zone;

}  // namespace

bool UnderWine() { return false; }

bool ExpectDocumented(const char*) { return true; }

void SetTimeZone(const char* tz) {
    if (!g_zone.saved) {
        const char* old = std::getenv("TZ");
        g_zone = SavedZone{true, old != nullptr, old != nullptr ? old : ""};
    }
    if (tz != nullptr) {
        setenv("TZ", tz, 1);
    } else if (g_zone.had) {
        setenv("TZ", g_zone.value.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}

int OpenDescriptors() {
    int n = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd"); it != std::filesystem::directory_iterator(); ++it) {
        ++n;
    }
    return n - 1;  // the listing's own descriptor
}

std::uint64_t HeapInUse() {
    const struct mallinfo2 mi = mallinfo2();
    return static_cast<std::uint64_t>(mi.uordblks) + static_cast<std::uint64_t>(mi.hblkhd);
}

bool EnoughDescriptors(std::uint64_t need) {
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    if (lim.rlim_cur >= need) {
        return true;
    }
    lim.rlim_cur = std::min(static_cast<rlim_t>(need), lim.rlim_max);
    return setrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur >= need;
}

}  // namespace talven_test

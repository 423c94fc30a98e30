#include "Measure.h"

#include <algorithm>
#include <cmath>

namespace bench {

double PercentileMicros(std::vector<std::uint64_t> nanos, double p) {
    if (nanos.empty()) {
        return 0.0;
    }
    auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(nanos.size())));
    rank = std::clamp<std::size_t>(rank, 1, nanos.size());
    std::nth_element(nanos.begin(), nanos.begin() + static_cast<std::ptrdiff_t>(rank - 1), nanos.end());
    return static_cast<double>(nanos[rank - 1]) / 1000.0;
}

}  // namespace bench

#include "demo/DemoStats.h"

#include <algorithm>
#include <cstdio>

std::string DemoStats::RoundTripSummary() const {
    if (roundTripsMs.empty()) {
        return "none";
    }
    std::vector<double> sorted = roundTripsMs;
    std::sort(sorted.begin(), sorted.end());
    const std::size_t n = sorted.size();
    const double median = n % 2 == 1 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
    char text[128];
    std::snprintf(text, sizeof text, "min %.3f ms, median %.3f ms, max %.3f ms", sorted.front(), median,
                  sorted.back());
    return text;
}

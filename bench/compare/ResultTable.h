// Collects one row per scenario and contender, and prints them as a table with each
// contender's ratio to TALVEN in the same scenario.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "Scenario.h"

namespace bench {

struct Result {
    std::string scenario;
    std::string contender;
    ScenarioKind kind = ScenarioKind::PingPong;
    bool ok = false;
    std::string error;
    double rate = 0;          // round trips/s, packets/s, or bytes per idle connection
    double megabytes = 0;     // payload MB/s (streaming)
    double medianUs = 0;      // round trip (ping-pong)
    double p99Us = 0;
};

class ResultTable {
public:
    void Add(const Result& r) { rows_.push_back(r); }
    void Print(std::FILE* out) const;

private:
    const Result* Reference(const std::string& scenario) const;
    std::vector<Result> rows_;
};

}  // namespace bench

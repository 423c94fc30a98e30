// The scenarios of the comparison and their counts. One definition for every contender.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace bench {

enum class ScenarioKind { PingPong, Stream, FanIn, Idle };

struct Scenario {
    std::string name;
    ScenarioKind kind;
    std::size_t payload;       // bytes per packet
    std::size_t count;         // timed packets or round trips (per connection for FanIn)
    std::size_t warmup;        // untimed round trips before the timed ones (PingPong)
    std::size_t connections;   // FanIn, Idle
};

// Default counts finish the whole run in a few minutes on a 2-core machine; quick counts only
// check that every contender still works.
std::vector<Scenario> AllScenarios(bool quick);

// Scenarios whose name equals `filter` or starts with it followed by '-' ("stream" picks all
// stream scenarios). An empty filter picks all.
std::vector<Scenario> SelectScenarios(const std::vector<Scenario>& all, const std::string& filter);

}  // namespace bench

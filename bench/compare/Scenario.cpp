#include "Scenario.h"

namespace bench {

std::vector<Scenario> AllScenarios(bool quick) {
    constexpr std::size_t KiB = 1024;
    constexpr std::size_t MiB = 1024 * 1024;
    auto n = [quick](std::size_t full, std::size_t tiny) { return quick ? tiny : full; };
    return {
        {"pingpong-64", ScenarioKind::PingPong, 64, n(40000, 200), n(2000, 20), 1},
        {"pingpong-1k", ScenarioKind::PingPong, KiB, n(40000, 200), n(2000, 20), 1},
        {"pingpong-16k", ScenarioKind::PingPong, 16 * KiB, n(30000, 100), n(1000, 10), 1},
        {"stream-64", ScenarioKind::Stream, 64, n(800000, 2000), 0, 1},
        {"stream-1k", ScenarioKind::Stream, KiB, n(400000, 1000), 0, 1},
        {"stream-64k", ScenarioKind::Stream, 64 * KiB, n(15000, 40), 0, 1},
        {"stream-1m", ScenarioKind::Stream, MiB, n(1000, 4), 0, 1},
        {"fanin-1000", ScenarioKind::FanIn, 64, n(50, 2), 0, n(1000, 50)},
        {"idle-memory", ScenarioKind::Idle, 0, 0, 0, n(1000, 50)},
    };
}

std::vector<Scenario> SelectScenarios(const std::vector<Scenario>& all, const std::string& filter) {
    std::vector<Scenario> picked;
    for (const Scenario& s : all) {
        const bool exact = s.name == filter;
        const bool family = s.name.size() > filter.size() && s.name.compare(0, filter.size(), filter) == 0 &&
                            s.name[filter.size()] == '-';
        if (filter.empty() || exact || family) {
            picked.push_back(s);
        }
    }
    return picked;
}

}  // namespace bench

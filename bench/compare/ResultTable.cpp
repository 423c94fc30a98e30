#include "ResultTable.h"

namespace bench {

namespace {

const char* Unit(ScenarioKind kind) {
    switch (kind) {
        case ScenarioKind::PingPong:
        case ScenarioKind::FanIn:
            return "trips/s";
        case ScenarioKind::Stream:
            return "packets/s";
        case ScenarioKind::Idle:
            return "bytes/conn";
    }
    return "";
}

}  // namespace

const Result* ResultTable::Reference(const std::string& scenario) const {
    for (const Result& r : rows_) {
        if (r.scenario == scenario && r.contender == "TALVEN" && r.ok) {
            return &r;
        }
    }
    return nullptr;
}

void ResultTable::Print(std::FILE* out) const {
    std::fprintf(out, "| %-13s | %-14s | %12s | %-10s | %9s | %10s | %10s | %9s |\n", "scenario", "contender",
                 "rate", "unit", "MB/s", "median us", "p99 us", "vs TALVEN");
    std::fprintf(out, "|---------------|----------------|--------------|------------|-----------|------------|"
                      "------------|-----------|\n");
    for (const Result& r : rows_) {
        if (!r.ok) {
            std::fprintf(out, "| %-13s | %-14s | failed: %s\n", r.scenario.c_str(), r.contender.c_str(),
                         r.error.c_str());
            continue;
        }
        char mb[32] = "";
        char median[32] = "";
        char p99[32] = "";
        char ratio[32] = "";
        if (r.kind == ScenarioKind::Stream) {
            std::snprintf(mb, sizeof mb, "%.1f", r.megabytes);
        }
        if (r.kind == ScenarioKind::PingPong) {
            std::snprintf(median, sizeof median, "%.1f", r.medianUs);
            std::snprintf(p99, sizeof p99, "%.1f", r.p99Us);
        }
        const Result* ref = Reference(r.scenario);
        if (ref != nullptr && ref->rate > 0) {
            std::snprintf(ratio, sizeof ratio, "%.2fx", r.rate / ref->rate);
        }
        std::fprintf(out, "| %-13s | %-14s | %12.0f | %-10s | %9s | %10s | %10s | %9s |\n", r.scenario.c_str(),
                     r.contender.c_str(), r.rate, Unit(r.kind), mb, median, p99, ratio);
    }
    std::fprintf(out, "\nvs TALVEN: the contender's rate divided by TALVEN's in the same scenario "
                      "(above 1 is faster; for idle-memory, above 1 uses more memory).\n");
}

}  // namespace bench

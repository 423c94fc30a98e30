// talven-bench: the same loopback work over TALVEN and the networking libraries its users would
// otherwise pick, in one run, printed as one table.
//
//   talven-bench [--quick] [--scenario NAME] [--contender NAME] [--rounds N] [--pin-malloc]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "AsioContender.h"
#include "Contender.h"
#include "Process.h"
#include "RawContender.h"
#include "ResultTable.h"
#include "Scenario.h"
#include "TalvenContender.h"
#include "ZmqContender.h"

namespace {

using namespace bench;

struct Options {
    bool quick = false;
    std::string scenario;
    std::string contender;
    bool pinMalloc = false;
    int rounds = 3;
};

void Usage() {
    std::fprintf(stderr,
                 "usage: talven-bench [--quick] [--scenario NAME] [--contender NAME] [--rounds N] [--pin-malloc]\n"
                 "  --quick           tiny counts: checks that every contender works\n"
                 "  --scenario NAME   one scenario (pingpong-64) or a family (pingpong)\n"
                 "  --contender NAME  TALVEN, \"TALVEN batched\", Asio, ZeroMQ or raw\n"
                 "  --rounds N        contenders take turns N times, each with 1/N of the count;\n"
                 "                    the table shows the median round (3; 1 with --quick)\n"
                 "  --pin-malloc      keep freed memory in the heap (glibc mmap/trim thresholds at\n"
                 "                    64/256 MiB) for every contender\n");
}

bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick") {
            options.quick = true;
            options.rounds = 1;
        } else if (arg == "--scenario" && i + 1 < argc) {
            options.scenario = argv[++i];
        } else if (arg == "--contender" && i + 1 < argc) {
            options.contender = argv[++i];
        } else if (arg == "--rounds" && i + 1 < argc) {
            options.rounds = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--pin-malloc") {
            options.pinMalloc = true;
        } else {
            return false;
        }
    }
    return true;
}

// Ends the process when one scenario takes far longer than it should: a stalled contender
// must not hang the run (or CI).
class Watchdog {
public:
    explicit Watchdog(std::chrono::seconds limit) : limit_(limit), thread_([this] { Run(); }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    void Arm(const std::string& what) {
        std::lock_guard<std::mutex> lock(mutex_);
        what_ = what;
        deadline_ = std::chrono::steady_clock::now() + limit_;
        wake_.notify_all();
    }

private:
    void Run() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stop_) {
            if (what_.empty()) {
                wake_.wait(lock);
                continue;
            }
            if (wake_.wait_until(lock, deadline_) == std::cv_status::timeout && !stop_ &&
                std::chrono::steady_clock::now() >= deadline_) {
                std::fprintf(stderr, "talven-bench: %s did not finish in %lld s\n", what_.c_str(),
                             static_cast<long long>(limit_.count()));
                std::_Exit(3);
            }
        }
    }

    std::chrono::seconds limit_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::string what_;
    std::chrono::steady_clock::time_point deadline_{};
    bool stop_ = false;
    std::thread thread_;
};

Result RunOne(Contender& contender, const Scenario& s) {
    Result r;
    r.scenario = s.name;
    r.contender = contender.Name();
    r.kind = s.kind;
    try {
        if (s.kind == ScenarioKind::Idle) {
            std::size_t before = 0;
            std::size_t during = 0;
            contender.Idle(s.connections, [&](int phase) { (phase == 0 ? before : during) = HeapBytesInUse(); });
            r.rate = during > before ? static_cast<double>(during - before) / static_cast<double>(s.connections) : 0;
            r.ok = true;
            return r;
        }
        const Frame frame(s.payload);
        Measure m;
        std::size_t done = s.count;
        switch (s.kind) {
            case ScenarioKind::PingPong:
                m.Reserve(s.count);
                contender.PingPong(frame, s.warmup, s.count, m);
                break;
            case ScenarioKind::Stream:
                contender.Stream(frame, s.count, m);
                break;
            case ScenarioKind::FanIn:
                contender.FanIn(frame, s.connections, s.count, m);
                done = s.count * s.connections;
                break;
            case ScenarioKind::Idle:
                break;
        }
        if (!m.Complete() || m.Seconds() <= 0) {
            throw std::runtime_error("the timed phase did not complete");
        }
        r.rate = static_cast<double>(done) / m.Seconds();
        r.megabytes = r.rate * static_cast<double>(s.payload) / 1e6;
        r.medianUs = PercentileMicros(m.Trips(), 50);
        r.p99Us = PercentileMicros(m.Trips(), 99);
        r.ok = true;
    } catch (const std::exception& e) {
        r.error = e.what();
    } catch (...) {
        r.error = "unknown exception";
    }
    return r;
}

// The round with the median rate stands for all; a failed round fails the row.
Result MedianOfRounds(std::vector<Result> rounds) {
    for (const Result& r : rounds) {
        if (!r.ok) {
            return r;
        }
    }
    std::sort(rounds.begin(), rounds.end(), [](const Result& a, const Result& b) { return a.rate < b.rate; });
    return rounds[rounds.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        Usage();
        return 2;
    }
    const auto scenarios = SelectScenarios(AllScenarios(options.quick), options.scenario);
    if (scenarios.empty()) {
        std::fprintf(stderr, "talven-bench: no scenario named %s\n", options.scenario.c_str());
        return 2;
    }
    RaiseDescriptorLimit();
    if (options.pinMalloc) {
        PinMallocThresholds();
    }

    std::vector<std::unique_ptr<Contender>> contenders;
    contenders.push_back(std::make_unique<TalvenContender>());
    contenders.push_back(std::make_unique<TalvenContender>(true));
    contenders.push_back(std::make_unique<AsioContender>());
    contenders.push_back(std::make_unique<ZmqContender>());
    contenders.push_back(std::make_unique<RawContender>());
    if (!options.contender.empty()) {
        std::vector<std::unique_ptr<Contender>> picked;
        for (auto& c : contenders) {
            if (c->Name() == options.contender) {
                picked.push_back(std::move(c));
            }
        }
        if (picked.empty()) {
            std::fprintf(stderr, "talven-bench: no contender named %s\n", options.contender.c_str());
            return 2;
        }
        contenders = std::move(picked);
    }

    ResultTable table;
    bool allOk = true;
    Watchdog watchdog(std::chrono::seconds(options.quick ? 60 : 300));
    for (const Scenario& whole : scenarios) {
        // The contenders take turns, round after round, each round with a share of the count,
        // so that a burst of load from elsewhere on the machine falls on all of them alike.
        const int rounds = whole.kind == ScenarioKind::Idle ? 1 : options.rounds;
        Scenario s = whole;
        s.count = std::max<std::size_t>(1, whole.count / static_cast<std::size_t>(rounds));
        s.warmup = whole.warmup / static_cast<std::size_t>(rounds);
        std::vector<std::vector<Result>> byContender(contenders.size());
        for (int round = 0; round < rounds; ++round) {
            for (std::size_t i = 0; i < contenders.size(); ++i) {
                Contender& c = *contenders[i];
                if (!c.Runs(s.kind)) {
                    continue;
                }
                std::fprintf(stderr, "running %s with %s (round %d of %d)\n", s.name.c_str(), c.Name().c_str(),
                             round + 1, rounds);
                watchdog.Arm(s.name + " with " + c.Name());
                byContender[i].push_back(RunOne(c, s));
            }
        }
        for (const auto& results : byContender) {
            if (results.empty()) {
                continue;  // no row for this contender in this scenario
            }
            const Result r = MedianOfRounds(results);
            allOk = allOk && r.ok;
            table.Add(r);
        }
    }
    table.Print(stdout);
    std::printf("malloc: %s\n", options.pinMalloc ? "thresholds pinned (--pin-malloc)" : "glibc defaults");
    return allOk ? 0 : 1;
}

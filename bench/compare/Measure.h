// Timing shared by every contender: the span of the timed phase and the time of each round
// trip. All calls come from the one thread that drives the client side of a scenario.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

namespace bench {

class Measure {
public:
    using Clock = std::chrono::steady_clock;

    void Begin() { begin_ = Clock::now(); began_ = true; }
    void End() { end_ = Clock::now(); ended_ = true; }
    void TripStart() { tripStart_ = Clock::now(); }
    void TripEnd() {
        trips_.push_back(static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - tripStart_).count()));
    }
    void Reserve(std::size_t trips) { trips_.reserve(trips); }

    bool Complete() const { return began_ && ended_; }
    double Seconds() const { return std::chrono::duration<double>(end_ - begin_).count(); }
    const std::vector<std::uint64_t>& Trips() const { return trips_; }

private:
    Clock::time_point begin_{};
    Clock::time_point end_{};
    Clock::time_point tripStart_{};
    bool began_ = false;
    bool ended_ = false;
    std::vector<std::uint64_t> trips_;
};

// Nearest-rank percentile (0 < p <= 100) of round-trip times, in microseconds; 0 when empty.
double PercentileMicros(std::vector<std::uint64_t> nanos, double p);

}  // namespace bench

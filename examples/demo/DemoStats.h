// What the demo counts: packets and payload bytes each way, and round-trip times.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct DemoStats {
    struct Direction {
        std::uint64_t packets = 0;
        std::uint64_t bytes = 0;
        void Add(std::size_t len) {
            ++packets;
            bytes += len;
        }
    };

    Direction toServer;                    // counted as the server receives
    Direction toClients;                   // counted as the clients receive
    std::vector<double> roundTripsMs;

    // "min 0.041 ms, median 0.058 ms, max 0.210 ms", or "none" without samples.
    std::string RoundTripSummary() const;
};

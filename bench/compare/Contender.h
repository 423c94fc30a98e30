// What every contender implements. Each call runs one scenario on fresh connections over TCP
// loopback, with the client side and the server side on threads of their own, and reports
// through Measure. The work per scenario is the same for all (see Scenario.h):
//
// PingPong  one connection; the client sends `warmup` then `count` packets one at a time and
//           waits for the server's echo of each; only the last `count` are timed.
// Stream    one connection; the client sends one packet and waits for an ack, then Begin(),
//           sends `count` packets as fast as the transport takes them, and End()s when the
//           server acks the last one. The server acks (a 1-byte packet) after packet 1 and
//           after packet 1 + count, and checks every payload.
// FanIn     `connections` connections on one event loop per side; once all are up, Begin(),
//           each connection does `trips` echo round trips, End() when every one is done.
// Idle      opens `connections` idle connections (both ends in this process) and calls
//           sample(0) before any is opened and sample(1) while all are open.
//
// A contender throws std::runtime_error when something goes wrong (a bad payload, a failed
// call); the harness reports it and goes on.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "Frame.h"
#include "Measure.h"
#include "Scenario.h"

namespace bench {

class Contender {
public:
    virtual ~Contender() = default;
    virtual std::string Name() const = 0;
    // Whether the contender has a row in scenarios of this kind.
    virtual bool Runs(ScenarioKind /*kind*/) const { return true; }

    virtual void PingPong(const Frame& frame, std::size_t warmup, std::size_t count, Measure& m) = 0;
    virtual void Stream(const Frame& frame, std::size_t count, Measure& m) = 0;
    virtual void FanIn(const Frame& frame, std::size_t connections, std::size_t trips, Measure& m) = 0;
    virtual void Idle(std::size_t connections, const std::function<void(int phase)>& sample) = 0;
};

// The stream server's ack: sent after the warm-up packet and after the last timed one.
inline bool IsStreamCheckpoint(std::size_t received, std::size_t count) {
    return received == 1 || received == 1 + count;
}
constexpr std::size_t kAckPayload = 1;

}  // namespace bench

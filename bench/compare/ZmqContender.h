// ZeroMQ: a PAIR socket pair over tcp://127.0.0.1 per connection; each message holds the same
// framed packet (length header and payload) as the other contenders send.
#pragma once

#include "Contender.h"

namespace bench {

class ZmqContender : public Contender {
public:
    std::string Name() const override { return "ZeroMQ"; }
    void PingPong(const Frame& frame, std::size_t warmup, std::size_t count, Measure& m) override;
    void Stream(const Frame& frame, std::size_t count, Measure& m) override;
    void FanIn(const Frame& frame, std::size_t connections, std::size_t trips, Measure& m) override;
    void Idle(std::size_t connections, const std::function<void(int phase)>& sample) override;
};

}  // namespace bench

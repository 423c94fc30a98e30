// Raw blocking POSIX sockets, one thread per side: what the machine allows without a library.
#pragma once

#include "Contender.h"

namespace bench {

class RawContender : public Contender {
public:
    std::string Name() const override { return "raw"; }
    void PingPong(const Frame& frame, std::size_t warmup, std::size_t count, Measure& m) override;
    void Stream(const Frame& frame, std::size_t count, Measure& m) override;
    void FanIn(const Frame& frame, std::size_t connections, std::size_t trips, Measure& m) override;
    void Idle(std::size_t connections, const std::function<void(int phase)>& sample) override;
};

}  // namespace bench

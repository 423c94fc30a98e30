// Boost.Asio (or standalone Asio): one single-threaded io_context per side, async_read of the
// header then the body, async_write per packet.
#pragma once

#include "Contender.h"

namespace bench {

class AsioContender : public Contender {
public:
    std::string Name() const override { return "Asio"; }
    void PingPong(const Frame& frame, std::size_t warmup, std::size_t count, Measure& m) override;
    void Stream(const Frame& frame, std::size_t count, Measure& m) override;
    void FanIn(const Frame& frame, std::size_t connections, std::size_t trips, Measure& m) override;
    void Idle(std::size_t connections, const std::function<void(int phase)>& sample) override;
};

}  // namespace bench

// TALVEN, written as an application: two CQmtpSocket ends, each on its own thread with its own
// notification window, application window and message loop.
#pragma once

#include "Contender.h"

namespace bench {

class TalvenContender : public Contender {
public:
    // Batched: the stream sender sends 63 of every 64 packets with TP_SEND_MORE, as an
    // application that knows more packets follow; it runs the stream scenarios only.
    explicit TalvenContender(bool batched = false);  // starts WinSock
    ~TalvenContender() override;
    TalvenContender(const TalvenContender&) = delete;
    TalvenContender& operator=(const TalvenContender&) = delete;

    std::string Name() const override { return batched_ ? "TALVEN batched" : "TALVEN"; }
    bool Runs(ScenarioKind kind) const override { return !batched_ || kind == ScenarioKind::Stream; }
    void PingPong(const Frame& frame, std::size_t warmup, std::size_t count, Measure& m) override;
    void Stream(const Frame& frame, std::size_t count, Measure& m) override;
    void FanIn(const Frame& frame, std::size_t connections, std::size_t trips, Measure& m) override;
    void Idle(std::size_t connections, const std::function<void(int phase)>& sample) override;

private:
    bool started_;
    bool batched_;
};

}  // namespace bench

#include "common/EchoFlow.h"

namespace {
const std::size_t kLengthFieldSize = 4;
}  // namespace

bool EchoFlow::Fits(PacketSocket& socket, std::size_t bytes) const {
    const std::size_t queued = socket.GetSendQueueBytes();
    return queued == 0 || queued + bytes <= high_;
}

bool EchoFlow::Echo(PacketSocket& socket, const char* data, int len) {
    const std::size_t wire = static_cast<std::size_t>(len) + (socket.IsPure() ? 0 : kLengthFieldSize);
    if (Fits(socket, wire)) {
        if (socket.SendBytes(data, len) != SOCKET_ERROR || WSAGetLastError() != WSAENOBUFS) {
            return true;  // sent, or a failed write, whose close is reported on its own
        }
    }
    held_.assign(data, static_cast<std::size_t>(len));
    holding_ = true;
    if (!socket.ReadingPaused()) {
        ++pauses_;
        socket.PauseReading();
    }
    return false;
}

void EchoFlow::Receive(PacketSocket& socket, const PacketHandler& onPacket) {
    if (holding_ && socket.IsOpen()) {
        return;  // the packets wait in the socket until the held echo is out
    }
    holding_ = false;
    held_.clear();
    const bool all = socket.TakePackets([&](const char* data, int len) {
        onPacket(data, len);
        return !socket.IsOpen() || Echo(socket, data, len);
    });
    if (all) {
        socket.ResumeReading();
    }
}

void EchoFlow::Sent(PacketSocket& socket, const PacketHandler& onPacket) {
    if (!holding_ || !socket.IsOpen() || socket.GetSendQueueBytes() > low_) {
        return;
    }
    const std::string echo = std::move(held_);
    held_.clear();
    holding_ = false;
    if (Echo(socket, echo.data(), static_cast<int>(echo.size()))) {
        Receive(socket, onPacket);
    }
}

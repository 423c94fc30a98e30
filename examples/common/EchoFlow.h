// Echoing with flow control: every packet received from a peer goes back to it, but a peer
// that does not read its echoes is not read from either. Before an echo would take the send
// queue above the high-water mark (or the library's send queue limit refuses it with
// WSAENOBUFS), the echo is held, the socket stops reading (PauseReading) and the packets
// still received stay in the socket. On TP_NOTIFY_SEND, once the queue is down to the
// low-water mark, the held echo goes out, the waiting packets are taken, and reading resumes.
// The send queue so never holds more than the high-water mark (a packet larger than that
// goes out alone), and TCP slows the peer down instead.
//
// One object per connection. Threads: the notification window's thread, like the receive
// side of the socket it serves.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "common/PacketSocket.h"

class EchoFlow {
public:
    // Called for every packet taken from the socket, before its echo.
    using PacketHandler = std::function<void(const char* data, int len)>;

    EchoFlow(std::size_t highWater, std::size_t lowWater) : high_(highWater), low_(lowWater) {}

    // On TP_NOTIFY_RECEIVE (and TP_NOTIFY_CLOSE): takes the received packets and echoes them
    // while the echoes fit. A closed socket's packets are taken without echo.
    void Receive(PacketSocket& socket, const PacketHandler& onPacket);
    // On TP_NOTIFY_SEND, and whenever the queue may have drained: resumes a held echo.
    void Sent(PacketSocket& socket, const PacketHandler& onPacket);

    bool Holding() const { return holding_; }
    unsigned Pauses() const { return pauses_; }
    std::size_t HighWater() const { return high_; }

private:
    // Whether a packet of `bytes` may join the queue now.
    bool Fits(PacketSocket& socket, std::size_t bytes) const;
    // Sends the echo, or holds it and pauses reading; false when held.
    bool Echo(PacketSocket& socket, const char* data, int len);

    std::size_t high_;
    std::size_t low_;
    bool holding_ = false;
    std::string held_;
    unsigned pauses_ = 0;
};

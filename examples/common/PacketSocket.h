// The packet socket as the examples use it. On top of CQmtpSocket it adds:
// - pure mode chosen per object (read events go to OnReceivePure, sends use SendPure);
// - a close that cannot overlap another thread's send, since the flush reads the handle
//   that Close resets: both run under the socket's own lock;
// - packets that arrived just before the peer's close are handed to the application while
//   the socket is still open, so that it can still answer them;
// - a look at the send queue, to close gracefully once everything queued is written.
//
// Threads: SendBytes and SendQueueEmpty from any thread; everything else on the notification
// window's thread, like the base class's receive side.
#pragma once

#include "talven.h"

class PacketSocket : public CQmtpSocket {
public:
    explicit PacketSocket(bool pure = false);

    bool IsPure() const { return pure_; }

    // Send or SendPure, by mode. The library's result: -1 on failure, else >= 0.
    int SendBytes(const void* data, int len);
    bool SendQueueEmpty();

    // Ends the connection on the application's own initiative: unregisters from the
    // notification window while the handle is still the map's key, then closes. No close
    // notification follows. Does nothing when the socket is already closed.
    void Abandon();

    bool IsOpen() const { return m_hSocket != INVALID_SOCKET; }

    void OnReceive(int nErrorCode) override;
    void OnClose(int nErrorCode) override;

    // The application's own data for this connection.
    void* context = nullptr;

private:
    bool pure_;
};

// The demo's scripted conversation: each step drives the network, checks what arrived and
// prints one line. The script stops at the first step that fails.
#pragma once

#include <string>

#include "demo/DemoNetwork.h"

class DemoScript {
public:
    explicit DemoScript(DemoNetwork& network) : net_(network) {}

    // Runs every step; true when each one's check held.
    bool Run();

private:
    bool ConnectClients();
    bool ExchangeText();
    bool MeasureRoundTrips();
    bool EchoBinary();
    bool SendEmptyPacket();
    bool SendFromThreads();
    bool ClientHangsUp();
    bool ServerHangsUp();
    bool RefuseOverlongHeader();
    bool FlowControl();
    bool HalfClose();

    // Prints "  ok  <text>" or "  FAILED  <text>" and logs it; returns ok.
    bool Report(bool ok, const std::string& text);
    // Sends one packet and waits until its echo has arrived; false on a timeout.
    bool Echo(Endpoint& client, const std::string& payload);

    DemoNetwork& net_;
    Endpoint* alice_ = nullptr;
    Endpoint* bob_ = nullptr;
    Endpoint* carol_ = nullptr;
};

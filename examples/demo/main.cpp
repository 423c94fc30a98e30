// talven-demo: a server and several clients in one process exchange a scripted conversation
// over loopback, then a short report. Exit status 0 when everything arrived intact.
#include <cstdio>
#include <filesystem>

#include "demo/DemoNetwork.h"
#include "demo/DemoScript.h"

int main() {
    DemoNetwork network;
    std::string error;
    if (!network.Start(error)) {
        std::fprintf(stderr, "talven-demo: %s\n", error.c_str());
        return 1;
    }
    std::printf("talven-demo: a server on 127.0.0.1:%u and its clients, in one process\n\n", network.ServerPort());
    QmSocketLog("talven-demo: server listening on 127.0.0.1:%u", network.ServerPort());

    DemoScript script(network);
    const bool ok = script.Run();

    const DemoStats& stats = network.stats();
    std::printf("\n  %-18s %10s %12s\n", "traffic", "packets", "bytes");
    std::printf("  %-18s %10llu %12llu\n", "clients -> server", static_cast<unsigned long long>(stats.toServer.packets),
                static_cast<unsigned long long>(stats.toServer.bytes));
    std::printf("  %-18s %10llu %12llu\n", "server -> clients",
                static_cast<unsigned long long>(stats.toClients.packets),
                static_cast<unsigned long long>(stats.toClients.bytes));
    std::printf("  round trips (%zu): %s\n", stats.roundTripsMs.size(), stats.RoundTripSummary().c_str());

    QmSocketLog("talven-demo: %s", ok ? "everything arrived intact" : "FAILED");
    const CString day = CTime::GetCurrentTime().Format("%Y%m%d");
    const std::filesystem::path log = std::filesystem::current_path() / ("Socket" + std::string(day.GetString()) + ".log");
    std::printf("  log: %s\n\n", log.string().c_str());
    std::printf("talven-demo: %s\n", ok ? "everything arrived intact" : "FAILED");
    return ok ? 0 : 1;
}

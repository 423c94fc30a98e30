#include "talvencat/CatOptions.h"

#include <cstdlib>
#include <vector>

const char kCatUsage[] =
    "Usage: talvencat [options] HOST PORT\n"
    "       talvencat -l [options] [HOST] PORT\n"
    "\n"
    "A netcat for length-prefixed packets: on the wire every packet is a 4-byte\n"
    "big-endian length followed by the payload.\n"
    "\n"
    "Connecting (first form): each line of standard input, without its line end, is\n"
    "sent to HOST:PORT as one packet. At the end of standard input talvencat sends\n"
    "what is still queued, shuts down its sending side, and exits with status 0 once\n"
    "the server closes the connection.\n"
    "\n"
    "Listening (-l): serves any number of clients at once on HOST:PORT until it is\n"
    "interrupted. HOST defaults to 127.0.0.1; PORT 0 lets the system choose one. Each\n"
    "line of standard input is sent to every connected client; the end of standard\n"
    "input ends that, not the service.\n"
    "\n"
    "Every packet received is written to standard output followed by a line end.\n"
    "\n"
    "Options:\n"
    "  -l, --listen      listen instead of connecting\n"
    "  --echo            (listening) send every received packet back to its sender\n"
    "  --hex             write each received packet as a line of hex bytes (\"68 69\")\n"
    "  --pure            unframed mode: send each line with its line end as raw bytes\n"
    "                    and write received bytes as they come, adding nothing\n"
    "  --max-packet N    receive packets of at most N bytes (default 1048576); a peer\n"
    "                    that announces a longer one is disconnected\n"
    "  --log             also append every connect, close and error to the daily log\n"
    "                    Socket<YYYYMMDD>.log in the current directory\n"
    "  -q, --quiet       nothing but packets on standard output; otherwise events\n"
    "                    (listening, connected, closed) go to standard error\n"
    "  -h, --help        show this help and exit\n"
    "\n"
    "Exit status: 0 when the server closes a connecting talvencat's connection;\n"
    "1 on any failure (refused, unresolvable host, port in use, connection reset),\n"
    "after one line on standard error such as\n"
    "  talvencat: connect 127.0.0.1:9: WSAECONNREFUSED: Connection refused\n"
    "2 on a usage error.\n";

namespace {

// Whole decimal number in [low, high].
bool ParseNumber(const std::string& text, unsigned long long low, unsigned long long high,
                 unsigned long long& value) {
    if (text.empty() || text.size() > 12 || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    value = std::strtoull(text.c_str(), nullptr, 10);
    return value >= low && value <= high;
}

}  // namespace

bool ParseCatOptions(int argc, const char* const* argv, CatOptions& options, std::string& error) {
    std::vector<std::string> positional;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-l" || arg == "--listen") {
            options.listen = true;
        } else if (arg == "--echo") {
            options.echo = true;
        } else if (arg == "--hex") {
            options.hex = true;
        } else if (arg == "--pure") {
            options.pure = true;
        } else if (arg == "--log") {
            options.log = true;
        } else if (arg == "-q" || arg == "--quiet") {
            options.quiet = true;
        } else if (arg == "-h" || arg == "--help") {
            options.help = true;
            return true;
        } else if (arg == "--max-packet") {
            unsigned long long value = 0;
            // The largest bound a packet socket keeps.
            if (i + 1 >= argc || !ParseNumber(argv[i + 1], 1, 0x7FFFFBFCull, value)) {
                error = "--max-packet needs a number from 1 to 2147482620";
                return false;
            }
            options.maxPacket = static_cast<UINT>(value);
            ++i;
        } else if (arg.size() > 1 && arg[0] == '-') {
            error = "unknown option " + arg;
            return false;
        } else {
            positional.push_back(arg);
        }
    }

    if (options.listen && positional.size() == 1) {
        positional.insert(positional.begin(), "127.0.0.1");
    }
    if (positional.size() != 2) {
        error = options.listen ? "expected [HOST] PORT" : "expected HOST PORT";
        return false;
    }
    if (options.echo && !options.listen) {
        error = "--echo needs -l";
        return false;
    }
    unsigned long long port = 0;
    if (!ParseNumber(positional[1], options.listen ? 0 : 1, 65535, port)) {
        error = "bad port " + positional[1];
        return false;
    }
    options.host = positional[0];
    options.port = static_cast<UINT>(port);
    return true;
}

#include "talvencat/CatOptions.h"

#include <cstdlib>
#include <vector>

const char kCatUsage[] =
    "Usage: talvencat [options] HOST PORT\n"
    "       talvencat -l [options] [HOST] PORT\n"
    "\n"
    "A netcat for length-prefixed packets: on the wire every packet is a 4-byte\n"
    "big-endian length followed by the payload. IPv4 only: HOST is a dotted IPv4\n"
    "address or a name that has one.\n"
    "\n"
    "Connecting (first form): each line of standard input, without its line end, is\n"
    "sent to HOST:PORT as one packet (a host name is looked up while the program goes\n"
    "on); reading standard input pauses while more than 1 MiB waits to be sent.\n"
    "At the end of standard input talvencat sends what is still queued, shuts down\n"
    "its sending side, and exits with status 0 once the server closes the\n"
    "connection.\n"
    "\n"
    "Listening (-l): serves any number of clients at once on HOST:PORT until it is\n"
    "interrupted. HOST defaults to 127.0.0.1; PORT 0 lets the system choose one. Each\n"
    "line of standard input is sent to every connected client; the end of standard\n"
    "input ends that, not the service. A client that shuts down its sending side\n"
    "still gets everything queued for it before its connection is closed.\n"
    "\n"
    "Every packet received is written to standard output followed by a line end.\n"
    "\n"
    "Options:\n"
    "  -l, --listen      listen instead of connecting\n"
    "  --echo            (listening) send every received packet back to its sender;\n"
    "                    while more than a quarter of --max-queue (at most 1 MiB)\n"
    "                    waits to be sent to a client, talvencat stops reading from\n"
    "                    it, and TCP slows the client down\n"
    "  --hex             write each received packet as a line of hex bytes (\"68 69\")\n"
    "  --pure            unframed mode: send each line with its line end as raw bytes\n"
    "                    and write received bytes as they come, adding nothing\n"
    "  --max-packet N    receive packets of at most N bytes (default 1048576); a peer\n"
    "                    that announces a longer one is disconnected\n"
    "  --max-queue N     (listening) at most N bytes wait to be sent to one client\n"
    "                    (default 4194304); a client whose next packet would pass\n"
    "                    that is disconnected, with one line on standard error\n"
    "  --idle-timeout S  (listening) disconnect a client from which nothing has been\n"
    "                    received for S seconds (default: never)\n"
    "  --drain-timeout S seconds a connection that the peer has half-closed may take\n"
    "                    to send what is queued (default 10; 0: close at once);\n"
    "                    after that it is reset\n"
    "  --connect-timeout S  (connecting) give up a connect, host name lookup\n"
    "                    included, that has not succeeded within S seconds\n"
    "  --reconnect       (connecting) when a connect fails or the connection ends\n"
    "                    before the end of standard input, connect again: first after\n"
    "                    0.5 s, the wait doubling up to 30 s (less up to a quarter at\n"
    "                    random), without end; lines read meanwhile are sent once\n"
    "                    connected again\n"
    "  --stats           at each close, one line on standard error with what the\n"
    "                    connection carried and its largest send queue\n"
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

struct NumberOption {
    const char* name;
    unsigned long long low;
    unsigned long long high;
    UINT* value;
};

template <std::size_t N>
const NumberOption* FindNumberOption(const NumberOption (&options)[N], const std::string& arg) {
    for (const NumberOption& option : options) {
        if (arg == option.name) {
            return &option;
        }
    }
    return nullptr;
}

}  // namespace

bool ParseCatOptions(int argc, const char* const* argv, CatOptions& options, std::string& error) {
    // The largest bound a packet socket keeps; the largest send-queue limit; a day.
    const NumberOption numbers[] = {
        {"--max-packet", 1, 0x7FFFFBFCull, &options.maxPacket},
        {"--max-queue", 1, 0x7FFFFFFFull, &options.maxQueue},
        {"--idle-timeout", 1, 86400, &options.idleTimeout},
        {"--drain-timeout", 0, 86400, &options.drainTimeout},
        {"--connect-timeout", 1, 86400, &options.connectTimeout},
    };
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
        } else if (arg == "--reconnect") {
            options.reconnect = true;
        } else if (arg == "--stats") {
            options.stats = true;
        } else if (const NumberOption* number = FindNumberOption(numbers, arg)) {
            unsigned long long value = 0;
            if (i + 1 >= argc || !ParseNumber(argv[i + 1], number->low, number->high, value)) {
                error = arg + " needs a number from " + std::to_string(number->low) + " to " +
                        std::to_string(number->high);
                return false;
            }
            *number->value = static_cast<UINT>(value);
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
    const char* listenOnly = options.echo                          ? "--echo"
                             : options.idleTimeout != 0              ? "--idle-timeout"
                             : options.maxQueue != kDefaultMaxQueue ? "--max-queue"
                                                                     : nullptr;
    if (!options.listen && listenOnly != nullptr) {
        error = std::string(listenOnly) + " needs -l";
        return false;
    }
    const char* connectOnly = options.reconnect             ? "--reconnect"
                              : options.connectTimeout != 0 ? "--connect-timeout"
                                                            : nullptr;
    if (options.listen && connectOnly != nullptr) {
        error = std::string(connectOnly) + " is for connecting, not with -l";
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

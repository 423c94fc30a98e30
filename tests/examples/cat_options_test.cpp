// talvencat's command line: what each argument list means, and which are refused.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#ifdef TALVENCAT_PATH

#include "talvencat/CatOptions.h"

namespace {

bool Parse(const std::string& line, CatOptions& options, std::string& error) {
    std::istringstream words(line);
    std::vector<std::string> args;
    for (std::string word; words >> word;) {
        args.push_back(word);
    }
    std::vector<const char*> argv;
    for (const std::string& arg : args) {
        argv.push_back(arg.c_str());
    }
    return ParseCatOptions(static_cast<int>(argv.size()), argv.data(), options, error);
}

TEST(CatOptions, AcceptedCommandLines) {
    const struct {
        const char* line;
        bool listen;
        const char* host;
        UINT port;
        UINT maxPacket;
    } cases[] = {
        {"example.org 7000", false, "example.org", 7000, 0},
        {"-l 5000", true, "127.0.0.1", 5000, 0},          // HOST defaults when listening
        {"--listen 0.0.0.0 0", true, "0.0.0.0", 0, 0},    // port 0: the system chooses
        {"10.0.0.1 --max-packet 64 65535", false, "10.0.0.1", 65535, 64},
        {"--echo 6000 -l --max-packet 2147482620", true, "127.0.0.1", 6000, 2147482620u},
    };
    for (const auto& c : cases) {
        CatOptions options;
        std::string error;
        ASSERT_TRUE(Parse(c.line, options, error)) << c.line << ": " << error;
        EXPECT_EQ(options.listen, c.listen) << c.line;
        EXPECT_EQ(options.host, c.host) << c.line;
        EXPECT_EQ(options.port, c.port) << c.line;
        EXPECT_EQ(options.maxPacket, c.maxPacket) << c.line;
    }
}

TEST(CatOptions, BoundsOfAListeningTalvencat) {
    CatOptions defaults;
    std::string error;
    ASSERT_TRUE(Parse("-l 1", defaults, error)) << error;
    EXPECT_EQ(defaults.maxQueue, 4194304u);
    EXPECT_EQ(defaults.idleTimeout, 0u) << "idle connections are kept unless asked";
    EXPECT_EQ(defaults.drainTimeout, 10u);
    EXPECT_FALSE(defaults.stats);

    CatOptions options;
    ASSERT_TRUE(Parse("-l --max-queue 1 --idle-timeout 86400 --drain-timeout 0 --stats 1", options, error)) << error;
    EXPECT_EQ(options.maxQueue, 1u);
    EXPECT_EQ(options.idleTimeout, 86400u);
    EXPECT_EQ(options.drainTimeout, 0u);
    EXPECT_TRUE(options.stats);

    CatOptions connecting;
    ASSERT_TRUE(Parse("--drain-timeout 3 --stats h 1", connecting, error)) << error;
    EXPECT_EQ(connecting.drainTimeout, 3u);
}

TEST(CatOptions, ConnectTimeoutAndReconnectAreForConnecting) {
    CatOptions defaults;
    std::string error;
    ASSERT_TRUE(Parse("h 1", defaults, error)) << error;
    EXPECT_EQ(defaults.connectTimeout, 0u);
    EXPECT_FALSE(defaults.reconnect);
    CatOptions options;
    ASSERT_TRUE(Parse("--connect-timeout 86400 --reconnect h 1", options, error)) << error;
    EXPECT_EQ(options.connectTimeout, 86400u);
    EXPECT_TRUE(options.reconnect);
    const struct {
        const char* line;
        const char* error;
    } refused[] = {
        {"--connect-timeout 0 h 1", "--connect-timeout needs a number from 1 to 86400"},
        {"--connect-timeout h 1", "--connect-timeout needs a number from 1 to 86400"},
        {"-l --reconnect 1", "--reconnect is for connecting, not with -l"},
        {"-l --connect-timeout 5 1", "--connect-timeout is for connecting, not with -l"},
    };
    for (const auto& c : refused) {
        CatOptions o;
        std::string e;
        EXPECT_FALSE(Parse(c.line, o, e)) << c.line;
        EXPECT_EQ(e, c.error) << c.line;
    }
}

TEST(CatOptions, FlagsAreSetIndependently) {
    CatOptions options;
    std::string error;
    ASSERT_TRUE(Parse("-l --echo --hex --pure --log -q 1", options, error)) << error;
    EXPECT_TRUE(options.echo && options.hex && options.pure && options.log && options.quiet);
    CatOptions plain;
    ASSERT_TRUE(Parse("h 1", plain, error));
    EXPECT_FALSE(plain.echo || plain.hex || plain.pure || plain.log || plain.quiet || plain.help);
}

TEST(CatOptions, RefusedCommandLines) {
    const char* cases[] = {
        "",                         // nothing
        "127.0.0.1",                // connecting needs HOST and PORT
        "127.0.0.1 0",              // a connection needs a real port
        "127.0.0.1 65536",
        "127.0.0.1 80x",
        "-l a b 1",                 // too many operands
        "--echo 127.0.0.1 1",       // echo only serves
        "--max-packet 0 h 1",
        "--max-packet 2147482621 h 1",
        "h 1 --max-packet",         // the number is missing
        "-l --max-queue 0 1",
        "-l --max-queue 2147483648 1",
        "-l --idle-timeout 0 1",    // off is the default, not a value
        "-l --idle-timeout 86401 1",
        "-l --drain-timeout 86401 1",
        "--max-queue 5 h 1",        // bounds of a server
        "--idle-timeout 5 h 1",
        "--verbose h 1",
    };
    for (const char* line : cases) {
        CatOptions options;
        std::string error;
        EXPECT_FALSE(Parse(line, options, error)) << "'" << line << "' was accepted";
        EXPECT_FALSE(error.empty()) << line;
    }
}

TEST(CatOptions, HelpNeedsNoOperands) {
    CatOptions options;
    std::string error;
    ASSERT_TRUE(Parse("--help", options, error));
    EXPECT_TRUE(options.help);
}

}  // namespace

#endif  // TALVENCAT_PATH

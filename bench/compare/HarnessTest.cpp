// The harness's own pieces, whose faults would quietly skew every contender's figures: frame
// reassembly, the receive check, percentiles and scenario selection.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "Frame.h"
#include "Measure.h"
#include "Scenario.h"

namespace bench {
namespace {

// Feeds `stream` to a FrameReader in pieces of `chunk` bytes and returns every payload size
// it hands out, checking each payload against the frame pattern.
std::vector<std::size_t> Reassemble(const std::vector<char>& stream, std::size_t chunk, std::size_t capacity) {
    FrameReader reader(capacity);
    std::vector<std::size_t> sizes;
    std::size_t at = 0;
    while (at < stream.size()) {
        std::size_t room = 0;
        char* space = reader.Space(room);
        const std::size_t n = std::min({room, chunk, stream.size() - at});
        std::memcpy(space, stream.data() + at, n);
        reader.Commit(n);
        at += n;
        const char* payload = nullptr;
        std::uint32_t length = 0;
        while (reader.Next(payload, length)) {
            EXPECT_TRUE(PayloadLooksRight(payload, length, length));
            sizes.push_back(length);
        }
    }
    return sizes;
}

TEST(FrameReaderTest, HandsOutEveryFrameWholeWhateverTheChunking) {
    const std::vector<std::size_t> payloads = {1, 0, 64, 300 * 1024, 1024, 3};
    std::vector<char> stream;
    for (std::size_t p : payloads) {
        const Frame f(p);
        stream.insert(stream.end(), f.data(), f.data() + f.size());
    }
    for (std::size_t chunk : {std::size_t{1}, std::size_t{3}, std::size_t{7}, std::size_t{4096}, stream.size()}) {
        for (std::size_t capacity : {std::size_t{16}, std::size_t{256 * 1024}}) {
            EXPECT_EQ(Reassemble(stream, chunk, capacity), payloads) << "chunk " << chunk << ", capacity " << capacity;
        }
    }
}

TEST(FrameTest, LengthFieldIsBigEndianOverTheWholeRange) {
    for (std::uint32_t v : {0u, 1u, 0x1234u, 0x00ABCDEFu, 0x80000001u, 0xFFFFFFFFu}) {
        char b[4];
        EncodeLength(b, v);
        EXPECT_EQ(DecodeLength(b), v);
        EXPECT_EQ(static_cast<unsigned char>(b[0]), v >> 24);
        EXPECT_EQ(static_cast<unsigned char>(b[3]), v & 0xFFu);
    }
    const Frame f(300);
    EXPECT_EQ(f.size(), 304u);
    EXPECT_EQ(DecodeLength(f.data()), 300u);
}

TEST(FrameTest, PayloadCheckRejectsWrongLengthOrDamagedEnds) {
    const Frame f(100);
    std::vector<char> copy(f.payload(), f.payload() + f.payloadSize());
    EXPECT_TRUE(PayloadLooksRight(copy.data(), copy.size(), 100));
    EXPECT_FALSE(PayloadLooksRight(copy.data(), copy.size(), 99));
    copy.front() ^= 1;
    EXPECT_FALSE(PayloadLooksRight(copy.data(), copy.size(), 100));
    copy.front() ^= 1;
    copy.back() ^= 1;
    EXPECT_FALSE(PayloadLooksRight(copy.data(), copy.size(), 100));
}

TEST(MeasureTest, PercentilesUseNearestRank) {
    std::vector<std::uint64_t> nanos;
    for (std::uint64_t us = 100; us >= 1; --us) {
        nanos.push_back(us * 1000);
    }
    EXPECT_DOUBLE_EQ(PercentileMicros(nanos, 50), 50.0);
    EXPECT_DOUBLE_EQ(PercentileMicros(nanos, 99), 99.0);
    EXPECT_DOUBLE_EQ(PercentileMicros(nanos, 100), 100.0);
    EXPECT_DOUBLE_EQ(PercentileMicros({7000}, 99), 7.0);
    EXPECT_DOUBLE_EQ(PercentileMicros({}, 50), 0.0);
}

TEST(ScenarioTest, SelectionTakesANameOrAFamily) {
    const auto all = AllScenarios(false);
    auto names = [&](const std::string& filter) {
        std::vector<std::string> out;
        for (const Scenario& s : SelectScenarios(all, filter)) {
            out.push_back(s.name);
        }
        return out;
    };
    EXPECT_EQ(names("stream"), (std::vector<std::string>{"stream-64", "stream-1k", "stream-64k", "stream-1m"}));
    EXPECT_EQ(names("stream-1k"), std::vector<std::string>{"stream-1k"});
    EXPECT_TRUE(names("stream-1").empty());
    EXPECT_TRUE(names("nothing").empty());
    EXPECT_EQ(names("").size(), all.size());
}

}  // namespace
}  // namespace bench

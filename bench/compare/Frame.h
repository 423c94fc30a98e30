// The wire format every contender uses: a 4-byte big-endian payload length, then the payload.
// Frame holds one ready-made packet; FrameReader cuts packets out of a byte stream read in
// chunks; PayloadLooksRight is the one receive check, so every contender pays the same.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace bench {

constexpr std::size_t kHeaderBytes = 4;

void EncodeLength(char* out, std::uint32_t length);
std::uint32_t DecodeLength(const char* in);

// One framed packet whose payload is a fixed byte pattern.
class Frame {
public:
    explicit Frame(std::size_t payloadBytes);

    const char* data() const { return bytes_.data(); }            // header + payload
    std::size_t size() const { return bytes_.size(); }
    const char* payload() const { return bytes_.data() + kHeaderBytes; }
    std::size_t payloadSize() const { return bytes_.size() - kHeaderBytes; }

private:
    std::vector<char> bytes_;
};

// True when a received payload has the expected length and the pattern at both ends.
bool PayloadLooksRight(const char* payload, std::size_t length, std::size_t expected);

// Reassembles packets from a stream. Space()/Commit() take bytes as they arrive; Next() hands out
// complete payloads, oldest first; the pointer it gives stays valid until the next Space().
class FrameReader {
public:
    explicit FrameReader(std::size_t initialCapacity = 256 * 1024);

    // Room to read into: at least `atLeast` bytes (more when a frame in progress needs it).
    char* Space(std::size_t& room);
    void Commit(std::size_t bytes);            // `bytes` were written at Space()
    bool Next(const char*& payload, std::uint32_t& length);

private:
    std::vector<char> buffer_;
    std::size_t begin_ = 0;                     // first unconsumed byte
    std::size_t end_ = 0;                       // one past the last received byte
};

}  // namespace bench

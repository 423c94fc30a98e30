#include "Frame.h"

#include <cstring>

namespace bench {

namespace {
char PatternByte(std::size_t i) { return static_cast<char>((i * 131u + 7u) & 0xffu); }
}  // namespace

void EncodeLength(char* out, std::uint32_t length) {
    out[0] = static_cast<char>(length >> 24);
    out[1] = static_cast<char>(length >> 16);
    out[2] = static_cast<char>(length >> 8);
    out[3] = static_cast<char>(length);
}

std::uint32_t DecodeLength(const char* in) {
    const auto* b = reinterpret_cast<const unsigned char*>(in);
    return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) |
           std::uint32_t{b[3]};
}

Frame::Frame(std::size_t payloadBytes) : bytes_(kHeaderBytes + payloadBytes) {
    EncodeLength(bytes_.data(), static_cast<std::uint32_t>(payloadBytes));
    for (std::size_t i = 0; i < payloadBytes; ++i) {
        bytes_[kHeaderBytes + i] = PatternByte(i);
    }
}

bool PayloadLooksRight(const char* payload, std::size_t length, std::size_t expected) {
    if (length != expected) {
        return false;
    }
    return length == 0 ||
           (payload[0] == PatternByte(0) && payload[length - 1] == PatternByte(length - 1));
}

FrameReader::FrameReader(std::size_t initialCapacity) : buffer_(initialCapacity) {}

char* FrameReader::Space(std::size_t& room) {
    // Keep the frame in progress at the front, and make room for all of it.
    if (begin_ > 0) {
        std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    std::size_t needed = end_ + 1;
    if (end_ >= kHeaderBytes) {
        needed = kHeaderBytes + DecodeLength(buffer_.data());
    }
    if (needed > buffer_.size()) {
        buffer_.resize(needed);
    }
    room = buffer_.size() - end_;
    return buffer_.data() + end_;
}

void FrameReader::Commit(std::size_t bytes) { end_ += bytes; }

bool FrameReader::Next(const char*& payload, std::uint32_t& length) {
    const std::size_t held = end_ - begin_;
    if (held < kHeaderBytes) {
        return false;
    }
    const std::uint32_t len = DecodeLength(buffer_.data() + begin_);
    if (held < kHeaderBytes + len) {
        return false;
    }
    payload = buffer_.data() + begin_ + kHeaderBytes;
    length = len;
    begin_ += kHeaderBytes + len;
    return true;
}

}  // namespace bench

// Writes received packets to an output stream: as text followed by a line end, as one line of
// hex bytes, or (pure mode) as raw bytes with nothing added.
#pragma once

#include <ostream>

class PacketPrinter {
public:
    enum class Style { Line, Hex, Raw };

    PacketPrinter(std::ostream& out, Style style) : out_(out), style_(style) {}

    void Write(const char* data, int len);
    void Flush() { out_.flush(); }

private:
    std::ostream& out_;
    Style style_;
};

#include "talvencat/PacketPrinter.h"

void PacketPrinter::Write(const char* data, int len) {
    static const char kDigits[] = "0123456789abcdef";
    switch (style_) {
    case Style::Raw:
        out_.write(data, len);
        break;
    case Style::Line:
        out_.write(data, len);
        out_.put('\n');
        break;
    case Style::Hex:
        for (int i = 0; i < len; ++i) {
            const unsigned char byte = static_cast<unsigned char>(data[i]);
            if (i > 0) {
                out_.put(' ');
            }
            out_.put(kDigits[byte >> 4]);
            out_.put(kDigits[byte & 0x0F]);
        }
        out_.put('\n');
        break;
    }
}

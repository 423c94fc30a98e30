// Module string tables on Windows: STRINGTABLE resources, read with the system's LoadStringA.
#include <vector>

#include "platform/mfc/ResourceChain.h"

namespace talven::mfc {

bool LoadModuleString(HMODULE module, UINT id, std::string& text) {
    if (module == nullptr) {
        return false;
    }
    // LoadStringA reports only what fits; a text that fills the buffer may be longer, so the
    // buffer grows until the text ends short of it. A string resource holds at most 65535
    // characters.
    std::vector<char> buffer(256);
    for (;;) {
        const int length = ::LoadStringA(module, id, buffer.data(), static_cast<int>(buffer.size()));
        if (length <= 0) {
            return false;
        }
        if (static_cast<std::size_t>(length) + 1 < buffer.size() || buffer.size() > 65536) {
            text.assign(buffer.data(), static_cast<std::size_t>(length));
            return true;
        }
        buffer.resize(buffer.size() * 4);
    }
}

}  // namespace talven::mfc

// Module string tables without a resource system: each module registers its table (keyed by
// module and language) from a static initialiser, and LoadStringA reads it.
#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <unordered_map>

#include "platform/mfc/ResourceChain.h"

namespace talven::mfc {
namespace {

using Table = std::unordered_map<UINT, std::string>;

// module -> language -> table. Lookup prefers US English, then neutral, then any.
struct ModuleTables {
    std::mutex lock;
    std::map<HMODULE, std::map<WORD, Table>> tables;
};

ModuleTables& Tables() {
    // Built on first use, which is a static initialiser of the module that registers a table.
    static ModuleTables tables;
    return tables;
}

bool FindIn(const Table& table, UINT id, std::string& text) {
    const auto entry = table.find(id);
    if (entry == table.end()) {
        return false;
    }
    text = entry->second;
    return true;
}

}  // namespace

bool LoadModuleString(HMODULE module, UINT id, std::string& text) {
    ModuleTables& all = Tables();
    std::lock_guard<std::mutex> guard(all.lock);
    const auto byModule = all.tables.find(module);
    if (byModule == all.tables.end()) {
        return false;
    }
    const auto& languages = byModule->second;
    for (WORD preferred : {WORD(LANG_ENGLISH_US), WORD(LANG_NEUTRAL)}) {
        const auto table = languages.find(preferred);
        if (table != languages.end() && FindIn(table->second, id, text)) {
            return true;
        }
    }
    for (const auto& language : languages) {
        if (FindIn(language.second, id, text)) {
            return true;
        }
    }
    return false;
}

}  // namespace talven::mfc

void AfxRegisterModuleStringTable(HMODULE module, WORD langId, const AFX_STRING_RESOURCE* table,
                                  int count) {
    talven::mfc::Table copy;
    for (int i = 0; i < count; ++i) {
        copy[table[i].id] = table[i].text != nullptr ? table[i].text : "";
    }
    auto& all = talven::mfc::Tables();
    std::lock_guard<std::mutex> guard(all.lock);
    all.tables[module][langId] = std::move(copy);
}

void AfxUnregisterModuleStringTable(HMODULE module) {
    auto& all = talven::mfc::Tables();
    std::lock_guard<std::mutex> guard(all.lock);
    all.tables.erase(module);
}

int LoadStringA(HINSTANCE module, UINT id, LPSTR buffer, int bufferMax) {
    if (buffer == nullptr || bufferMax <= 0) {
        return 0;
    }
    std::string text;
    if (!talven::mfc::LoadModuleString(module, id, text)) {
        buffer[0] = '\0';
        return 0;
    }
    // Truncated to the buffer, always NUL-terminated, as Win32 does.
    const std::size_t copied = std::min(text.size(), static_cast<std::size_t>(bufferMax - 1));
    std::memcpy(buffer, text.data(), copied);
    buffer[copied] = '\0';
    return static_cast<int>(copied);
}

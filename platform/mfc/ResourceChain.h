// The resource chain behind CString::LoadString: the string tables that modules register
// (keyed by module and language), and the list of CDynLinkLibrary objects, newest first, whose
// modules LoadString searches. One per process; every member may be called from any thread.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/mfc/afxdll.h"

namespace talven::mfc {

class ResourceChain {
public:
    static ResourceChain& Instance();

    void RegisterStringTable(HMODULE module, WORD langId, const AFX_STRING_RESOURCE* table,
                             int count);
    void UnregisterStringTables(HMODULE module);

    // The text of `id` in `module` itself, whether or not the module is in the chain.
    bool LoadModuleString(HMODULE module, UINT id, std::string& text) const;
    // The text of `id` from the first module of the chain that has it.
    bool LoadString(UINT id, std::string& text) const;

    void Link(CDynLinkLibrary* library);      // at the head: searched first
    void Unlink(CDynLinkLibrary* library);    // no effect when not linked
    // Unlinks and deletes every library of `module`, or every library at all when `all`.
    void DeleteLibraries(HMODULE module, bool all);

private:
    using Table = std::unordered_map<UINT, std::string>;
    bool FindLocked(HMODULE module, UINT id, std::string& text) const;

    mutable std::mutex lock_;
    // module -> language -> table. Lookup prefers US English, then neutral, then any.
    std::map<HMODULE, std::map<WORD, Table>> tables_;
    CDynLinkLibrary* head_ = nullptr;
};

}  // namespace talven::mfc

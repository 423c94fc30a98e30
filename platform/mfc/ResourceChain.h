// The resource chain behind CString::LoadString: the list of CDynLinkLibrary objects, newest
// first, whose modules LoadString searches. One per process; every member may be called from
// any thread.
#pragma once

#include <mutex>
#include <string>

#include "platform/mfc/afxdll.h"

namespace talven::mfc {

class ResourceChain {
public:
    static ResourceChain& Instance();

    // The text of `id` from the first module of the chain that has it.
    bool LoadString(UINT id, std::string& text) const;

    void Link(CDynLinkLibrary* library);      // at the head: searched first
    void Unlink(CDynLinkLibrary* library);    // no effect when not linked
    // Unlinks and deletes every library of `module`, or every library at all when `all`.
    void DeleteLibraries(HMODULE module, bool all);

private:
    mutable std::mutex lock_;
    CDynLinkLibrary* head_ = nullptr;
};

// The text of string `id` in `module` itself, whether or not the module is in the chain: from
// the module's linked resources on Windows, from its registered table elsewhere. Any thread.
bool LoadModuleString(HMODULE module, UINT id, std::string& text);

}  // namespace talven::mfc

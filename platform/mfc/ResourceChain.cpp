#include "platform/mfc/ResourceChain.h"

#include <vector>

namespace talven::mfc {

ResourceChain& ResourceChain::Instance() {
    // Built on first use, which may be a static initialiser of another file; destroyed after
    // every object whose construction used it (the library's entry point among them).
    static ResourceChain chain;
    return chain;
}

bool ResourceChain::LoadString(UINT id, std::string& text) const {
    std::lock_guard<std::mutex> guard(lock_);
    for (const CDynLinkLibrary* library = head_; library != nullptr;
         library = library->m_pNextDLL) {
        if (LoadModuleString(library->m_hResource, id, text)) {
            return true;
        }
    }
    return false;
}

void ResourceChain::Link(CDynLinkLibrary* library) {
    std::lock_guard<std::mutex> guard(lock_);
    library->m_pNextDLL = head_;
    head_ = library;
}

void ResourceChain::Unlink(CDynLinkLibrary* library) {
    std::lock_guard<std::mutex> guard(lock_);
    for (CDynLinkLibrary** link = &head_; *link != nullptr; link = &(*link)->m_pNextDLL) {
        if (*link == library) {
            *link = library->m_pNextDLL;
            library->m_pNextDLL = nullptr;
            return;
        }
    }
}

void ResourceChain::DeleteLibraries(HMODULE module, bool all) {
    std::vector<CDynLinkLibrary*> doomed;
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (CDynLinkLibrary** link = &head_; *link != nullptr;) {
            CDynLinkLibrary* library = *link;
            if (all || library->m_hModule == module) {
                *link = library->m_pNextDLL;
                library->m_pNextDLL = nullptr;
                doomed.push_back(library);
            } else {
                link = &library->m_pNextDLL;
            }
        }
    }
    // Deleted outside the lock: the destructor unlinks (a no-op now) and takes it again.
    // The chain owns every CDynLinkLibrary, which modules make with new, as in MFC.
    for (CDynLinkLibrary* library : doomed) {
        delete library;
    }
}

}  // namespace talven::mfc

#include "platform/mfc/afxdll.h"

#include <algorithm>
#include <cstring>

#include "platform/mfc/ResourceChain.h"

using talven::mfc::ResourceChain;

void AfxRegisterModuleStringTable(HMODULE module, WORD langId, const AFX_STRING_RESOURCE* table,
                                  int count) {
    ResourceChain::Instance().RegisterStringTable(module, langId, table, count);
}

void AfxUnregisterModuleStringTable(HMODULE module) {
    ResourceChain::Instance().UnregisterStringTables(module);
}

int LoadStringA(HINSTANCE module, UINT id, LPSTR buffer, int bufferMax) {
    if (buffer == nullptr || bufferMax <= 0) {
        return 0;
    }
    std::string text;
    if (!ResourceChain::Instance().LoadModuleString(module, id, text)) {
        buffer[0] = '\0';
        return 0;
    }
    // Truncated to the buffer, always NUL-terminated, as Win32 does.
    const std::size_t copied = std::min(text.size(), static_cast<std::size_t>(bufferMax - 1));
    std::memcpy(buffer, text.data(), copied);
    buffer[copied] = '\0';
    return static_cast<int>(copied);
}

BOOL AfxInitExtensionModule(AFX_EXTENSION_MODULE& state, HMODULE module) {
    if (module == nullptr) {
        return FALSE;
    }
    state.hModule = module;
    state.hResource = module;
    state.bInitialized = TRUE;
    return TRUE;
}

void AfxTermExtensionModule(AFX_EXTENSION_MODULE& state, BOOL bAll) {
    // A record that was never initialised names no module: it removes nothing.
    if (bAll || state.hModule != nullptr) {
        ResourceChain::Instance().DeleteLibraries(state.hModule, bAll != FALSE);
    }
    state.bInitialized = FALSE;
}

CDynLinkLibrary::CDynLinkLibrary(AFX_EXTENSION_MODULE& state, BOOL bSystem)
    : m_hModule(state.hModule),
      m_hResource(state.hResource),
      m_bSystem(bSystem),
      m_pNextDLL(nullptr) {
    ResourceChain::Instance().Link(this);
}

CDynLinkLibrary::~CDynLinkLibrary() { ResourceChain::Instance().Unlink(this); }

#include "platform/mfc/afxdll.h"

#include "platform/mfc/ResourceChain.h"

using talven::mfc::ResourceChain;

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

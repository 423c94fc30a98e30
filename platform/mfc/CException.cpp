#include "platform/mfc/afxexcept.h"

CException::CException() = default;
CException::~CException() = default;

// Exceptions are thrown as pointers to objects made with new; the catcher releases them here.
void CException::Delete() { delete this; }

BOOL CException::GetErrorMessage(LPSTR buffer, UINT maxLength, UINT* helpContext) const {
    if (helpContext != nullptr) {
        *helpContext = 0;
    }
    if (buffer != nullptr && maxLength > 0) {
        buffer[0] = '\0';
    }
    return FALSE;
}

// When even the exception object cannot be allocated, std::bad_alloc reaches the caller
// instead: it reports the same failure.
void AfxThrowResourceException() { throw new CResourceException(); }
void AfxThrowMemoryException() { throw new CMemoryException(); }

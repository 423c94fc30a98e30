// MFC's exceptions. They are thrown as pointers (throw new CFileException(...)) and released by
// the catcher with Delete(), as in MFC.
#pragma once

#include "platform/mfc/afxstr.h"

class TALVEN_API CException {
public:
    CException();
    virtual ~CException();
    CException(const CException&) = delete;
    CException& operator=(const CException&) = delete;
    void Delete();                        // releases the exception object
    virtual BOOL GetErrorMessage(LPSTR buffer, UINT maxLength, UINT* helpContext = nullptr) const;
};

class TALVEN_API CMemoryException : public CException {};
class TALVEN_API CResourceException : public CException {};

[[noreturn]] TALVEN_API void AfxThrowResourceException();
[[noreturn]] TALVEN_API void AfxThrowMemoryException();

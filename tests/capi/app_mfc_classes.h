// An application's own CWnd and CString, declared as an MFC application's <afxwin.h> declares
// them: global classes of those names with virtual members, after <windows.h>.
#pragma once

#include <string>

#if defined(_WIN32)
#include <windows.h>
#else
#include "platform/user32/user32.h"
#endif

class CString {
public:
    CString() = default;
    explicit CString(const char* text) : text_(text) {}
    virtual ~CString() = default;
    int GetLength() const { return static_cast<int>(text_.size()); }
    const char* GetString() const { return text_.c_str(); }
    virtual void Append(const char* text) { text_ += text; }

private:
    std::string text_;
};

class CWnd {
public:
    CWnd() = default;
    virtual ~CWnd() {
        if (m_hWnd != nullptr) {
            DestroyWindow(m_hWnd);
        }
    }
    virtual BOOL Create(const char* className) {
        m_hWnd = CreateWindowExA(0, className, "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
        return m_hWnd != nullptr;
    }
    HWND GetSafeHwnd() const { return m_hWnd; }

protected:
    HWND m_hWnd = nullptr;
};

// talven_c.h in a C++ file after an application's own CWnd and CString, as an MFC
// application's <afxwin.h> declares them: the header names no class, so nothing collides, and
// the program links although the library has classes of the same names inside it.
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

#include "talven_c.h"

// The application's classes and the library's functions together: a notification window
// owned by the application's CWnd, and an error text in the application's CString.
extern "C" int capi_header_beside_mfc_names(void) {
    CWnd frame;
    if (!frame.Create("TalvenCApiTest")) {
        return 0;
    }
    const HWND notify = QmNotifyWndCreate(frame.GetSafeHwnd());
    QMTP s = QmtpCreate(notify, frame.GetSafeHwnd(), WM_USER + 1);
    char text[64];
    QmGetWSAErrorText(WSAEINVAL, text, static_cast<int>(sizeof text));
    CString message("error: ");
    message.Append(text);
    const bool ok = notify != nullptr && s != nullptr && message.GetLength() > 7 &&
                    std::string(message.GetString()).find("WSAEINVAL") != std::string::npos;
    QmtpDestroy(s);
    QmNotifyWndDestroy(notify);
    return ok ? 1 : 0;
}

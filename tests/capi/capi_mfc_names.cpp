// talven_c.h in a C++ file after a header with an application's own CWnd and CString, as an
// MFC application includes it after <afxwin.h>: the header names no class, so nothing
// collides, and the program links although the library has classes of the same names inside.
#include <string>

#include "app_mfc_classes.h"
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

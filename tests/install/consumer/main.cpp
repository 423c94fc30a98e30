// An application of the installed library: starts WinSock, makes a notification window and a
// packet socket, looks up an error text, and stops. Exit status 0 when everything worked.
#include <cstdio>
#include <cstring>

#include "talven.h"

int main() {
    if (QmSocketInit(nullptr) != 1) {
        std::fprintf(stderr, "consumer: QmSocketInit failed\n");
        return 1;
    }
    CString text;
    const bool textOk = QmGetWSAErrorString(WSAECONNRESET, text) > 0 &&
                        std::strcmp(text, "WSAECONNRESET: Connection reset by peer") == 0;
    bool socketOk = false;
    {
        CQmSocketNotifyWnd notify;
        try {
            notify.Create(nullptr);
            CQmtpSocket socket;
            socketOk = socket.Create(notify.GetSafeHwnd()) == 1;
        } catch (CResourceException* e) {
            e->Delete();
        }
    }
    const bool termOk = QmSocketTerm() == 0;
    std::printf("consumer: text %s, socket %s, term %s\n", textOk ? "ok" : "FAILED",
                socketOk ? "ok" : "FAILED", termOk ? "ok" : "FAILED");
    return textOk && socketOk && termOk ? 0 : 1;
}

#include "socket/QmSocket.h"

int QmSocketInit(WSADATA* data) {
    WSADATA local;
    if (data == nullptr) {
        data = &local;
    }
    const int code = WSAStartup(0x0101, data);
    if (code != 0) {
        QmGetWSAErrorString(code, g_strSocketError);
        return 0;
    }
    if (data->wVersion != 0x0101) {
        WSACleanup();
        return 0;
    }
    return 1;
}

int QmSocketTerm() { return WSACleanup(); }

int QmGetWSAErrorString(int code, CString& text) {
    // The string table is the only mapping from code to text; id 10000 stands for "no error".
    if (code == 0) {
        text.LoadString(10000);
    } else if (code < 0) {
        text.Empty();
    } else {
        text.LoadString(static_cast<UINT>(code));
    }
    return text.GetLength();
}

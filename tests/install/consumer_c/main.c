/* A C application of the installed library: a listener and a client on 127.0.0.1 exchange one
   packet through the C interface in one message loop. Exit status 0 when it arrived. */
#include <stdio.h>
#include <string.h>

#include "talven_c.h"

#define APP_MSG (WM_USER + 1)

static QMTP g_listener;
static QMTP g_client;
static QMTP g_served;
static int g_ok;

static LRESULT CALLBACK AppProc(HWND hwnd, UINT msg, WPARAM code, LPARAM lParam) {
    QMTP s = (QMTP)lParam;
    char* data = NULL;
    int len = 0;
    if (msg == WM_TIMER) {
        PostQuitMessage(1); /* the watchdog */
    } else if (msg != APP_MSG) {
        return DefWindowProcA(hwnd, msg, code, lParam);
    } else if (code == TP_NOTIFY_ACCEPT && s == g_listener) {
        g_served = QmtpAccept(g_listener);
    } else if (code == TP_NOTIFY_CONNECT && s == g_client && QmtpGetError(s) == 0) {
        QmtpSend(g_client, "ping", 4);
    } else if (code == TP_NOTIFY_RECEIVE && s == g_served) {
        QmtpRead(g_served, &data, &len);
        if (data != NULL) {
            g_ok = len == 4 && memcmp(data, "ping", 4) == 0;
            QmtpFreeData(data);
            PostQuitMessage(0);
        }
    }
    return 0;
}

int main(void) {
    WNDCLASSA wc;
    HWND app;
    HWND notify;
    char address[16];
    UINT port = 0;
    MSG msg;
    if (!QmSocketInit(NULL)) {
        return 1;
    }
    memset(&wc, 0, sizeof wc);
    wc.lpfnWndProc = AppProc;
    wc.lpszClassName = "CConsumer";
    RegisterClassA(&wc);
    app = CreateWindowExA(0, "CConsumer", "", 0, 0, 0, 0, 0, NULL, NULL, NULL, NULL);
    notify = QmNotifyWndCreate(app);
    g_listener = QmtpCreate(notify, app, APP_MSG);
    g_client = QmtpCreate(notify, app, APP_MSG);
    if (!QmtpListen(g_listener, "127.0.0.1", 0) ||
        !QmtpGetLocal(g_listener, address, (int)sizeof address, &port) ||
        !QmtpConnect(g_client, address, port)) {
        return 1;
    }
    SetTimer(app, 1, 30000, NULL);
    while (GetMessageA(&msg, NULL, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    QmtpDestroy(g_served);
    QmtpDestroy(g_client);
    QmtpDestroy(g_listener);
    QmNotifyWndDestroy(notify);
    DestroyWindow(app);
    QmSocketTerm();
    printf("c consumer: packet %s\n", g_ok ? "ok" : "FAILED");
    return g_ok ? 0 : 1;
}

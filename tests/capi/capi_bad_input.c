/* Bad input to every function: each returns its failure value with WSAEINVAL (a null, foreign
   or destroyed handle, a negative length or size, a bad window or message) or WSAEFAULT (a
   null pointer where bytes are to be read or written), and changes nothing. */
#include <string.h>

#include "capi_check.h"

static void ignore(WPARAM code, QMTP s) {
    (void)code;
    (void)s;
}

/* Every function that takes a handle refuses `bad`. */
static void check_refuses_handle(QMTP bad) {
    char text[16] = "unchanged";
    char* data = text;
    int len = 7;
    UINT port = 7;
    CHECK_REFUSED(QmtpConnect(bad, "127.0.0.1", 1), 0, WSAEINVAL);
    CHECK_REFUSED(QmtpListen(bad, NULL, 0), 0, WSAEINVAL);
    CHECK_REFUSED(QmtpAccept(bad), NULL, WSAEINVAL);
    CHECK_REFUSED(QmtpSend(bad, "x", 1), SOCKET_ERROR, WSAEINVAL);
    CHECK_REFUSED(QmtpSendPure(bad, "x", 1), SOCKET_ERROR, WSAEINVAL);
    CHECK_REFUSED(QmtpRead(bad, &data, &len), SOCKET_ERROR, WSAEINVAL);
    CHECK_REFUSED(QmtpGetError(bad), SOCKET_ERROR, WSAEINVAL);
    CHECK_REFUSED(QmtpGetSendQueueBytes(bad), SOCKET_ERROR, WSAEINVAL);
    CHECK_REFUSED(QmtpSetSendQueueLimit(bad, 10), 0, WSAEINVAL);
    CHECK_REFUSED(QmtpGetPeer(bad, text, (int)sizeof text, &port), 0, WSAEINVAL);
    CHECK_REFUSED(QmtpGetLocal(bad, text, (int)sizeof text, &port), 0, WSAEINVAL);
    WSASetLastError(0);
    QmtpClose(bad);
    CHECK(WSAGetLastError() == WSAEINVAL);
    if (bad != NULL) {
        WSASetLastError(0);
        QmtpDestroy(bad);
        CHECK(WSAGetLastError() == WSAEINVAL);
    }
    CHECK(data == text && len == 7 && port == 7 && strcmp(text, "unchanged") == 0);
}

static void check_error_texts(void) {
    static const char refused[] = "WSAECONNREFUSED: Connection refused";
    char text[64];
    char shortText[8];
    const int full = (int)strlen(refused);
    CHECK(QmGetWSAErrorText(WSAECONNREFUSED, text, (int)sizeof text) == full);
    CHECK(strcmp(text, refused) == 0);
    /* Cut to the size with its terminating 0; the result is still the full length. */
    memset(shortText, 'x', sizeof shortText);
    CHECK(QmGetWSAErrorText(WSAECONNREFUSED, shortText, (int)sizeof shortText) == full);
    CHECK(memcmp(shortText, refused, 7) == 0 && shortText[7] == 0);
    CHECK(QmGetWSAErrorText(WSAECONNREFUSED, NULL, 0) == full);
    CHECK(QmGetWSAErrorText(0, text, (int)sizeof text) == 12 && strcmp(text, "[0] No Error") == 0);
    CHECK(QmGetWSAErrorText(-5, text, (int)sizeof text) == 0 && text[0] == 0);
    strcpy(text, "unchanged");
    CHECK_REFUSED(QmGetWSAErrorText(WSAECONNREFUSED, NULL, 5), -1, WSAEFAULT);
    CHECK_REFUSED(QmGetWSAErrorText(WSAECONNREFUSED, text, -1), -1, WSAEINVAL);
    CHECK(strcmp(text, "unchanged") == 0);
}

void capi_bad_input_scenario(void) {
    HWND app = capi_app_window(ignore, 0);
    HWND gone = capi_app_window(ignore, 0);
    HWND notify = QmNotifyWndCreate(app);
    QMTP s = QmtpCreate(notify, app, CAPI_APP_MSG);
    QMTP destroyed = QmtpCreate(notify, app, CAPI_APP_MSG);
    int foreign = 0;
    char text[16] = "unchanged";
    char* data = text;
    int len = 7;
    UINT port = 7;
    CHECK(notify != NULL && s != NULL && destroyed != NULL);
    QmtpDestroy(destroyed);
    CHECK(DestroyWindow(gone));

    check_refuses_handle(NULL);
    check_refuses_handle(destroyed);
    check_refuses_handle((QMTP)&foreign);
    WSASetLastError(12345);
    QmtpDestroy(NULL); /* ignored */
    CHECK(WSAGetLastError() == 12345);

    /* Windows and messages. */
    CHECK_REFUSED(QmNotifyWndCreate(gone), NULL, WSAEINVAL);
    CHECK_REFUSED(QmtpCreate(NULL, app, CAPI_APP_MSG), NULL, WSAEINVAL);
    CHECK_REFUSED(QmtpCreate(app, app, CAPI_APP_MSG), NULL, WSAEINVAL); /* not a notification window */
    CHECK_REFUSED(QmtpCreate(notify, NULL, CAPI_APP_MSG), NULL, WSAEINVAL);
    CHECK_REFUSED(QmtpCreate(notify, gone, CAPI_APP_MSG), NULL, WSAEINVAL);
    CHECK_REFUSED(QmtpCreate(notify, app, WM_USER - 1), NULL, WSAEINVAL);
    WSASetLastError(0);
    QmNotifyWndDestroy(app); /* the application's own window is not the library's to destroy */
    CHECK(WSAGetLastError() == WSAEINVAL && IsWindow(app));
    WSASetLastError(0);
    QmNotifyWndDestroy(NULL);
    CHECK(WSAGetLastError() == WSAEINVAL);

    /* Lengths, sizes, pointers and ports on a live socket. */
    CHECK_REFUSED(QmtpSend(s, NULL, 1), SOCKET_ERROR, WSAEFAULT);
    CHECK_REFUSED(QmtpSend(s, "x", -1), SOCKET_ERROR, WSAEINVAL);
    CHECK_REFUSED(QmtpSendPure(s, NULL, 1), SOCKET_ERROR, WSAEFAULT);
    CHECK_REFUSED(QmtpSendPure(s, "x", -1), SOCKET_ERROR, WSAEINVAL);
    CHECK(QmtpGetSendQueueBytes(s) == 0);
    CHECK_REFUSED(QmtpRead(s, NULL, &len), SOCKET_ERROR, WSAEFAULT);
    CHECK_REFUSED(QmtpRead(s, &data, NULL), SOCKET_ERROR, WSAEFAULT);
    CHECK(QmtpRead(s, &data, &len) == 0); /* nothing received: the outputs stay */
    CHECK_REFUSED(QmtpSetSendQueueLimit(s, -1), 0, WSAEINVAL);
    CHECK(QmtpSetSendQueueLimit(s, 0) == 1);
    CHECK_REFUSED(QmtpConnect(s, NULL, 1), 0, WSAEFAULT);
    CHECK_REFUSED(QmtpConnect(s, "127.0.0.1", 65536), 0, WSAEINVAL);
    CHECK_REFUSED(QmtpListen(s, NULL, 65536), 0, WSAEINVAL);
    CHECK(QmtpListen(s, NULL, 0) == 1);
    CHECK_REFUSED(QmtpGetLocal(s, NULL, (int)sizeof text, &port), 0, WSAEFAULT);
    CHECK_REFUSED(QmtpGetLocal(s, text, (int)sizeof text, NULL), 0, WSAEFAULT);
    CHECK_REFUSED(QmtpGetLocal(s, text, -1, &port), 0, WSAEINVAL);
    CHECK_REFUSED(QmtpGetLocal(s, text, 7, &port), 0, WSAEFAULT); /* "0.0.0.0" needs 8 */
    CHECK(data == text && len == 7 && port == 7 && strcmp(text, "unchanged") == 0);
    CHECK(QmtpGetLocal(s, text, 8, &port) == 1 && strcmp(text, "0.0.0.0") == 0 && port != 0);
    CHECK_REFUSED(QmtpGetPeer(s, text, (int)sizeof text, &port), 0, WSAENOTCONN);
    check_error_texts();
#if !defined(_WIN32)
    /* Memory that runs out inside the classes ends at the C edge, as the failure result with
       WSAENOBUFS (a packet socket's first allocation of 1024 bytes is its receive buffer). */
    capi_fail_next_allocation(1024);
    CHECK_REFUSED(QmtpCreate(notify, app, CAPI_APP_MSG), NULL, WSAENOBUFS);
#endif

    QmtpDestroy(s);
    QmNotifyWndDestroy(notify);
    WSASetLastError(0);
    QmNotifyWndDestroy(notify); /* already destroyed */
    CHECK(WSAGetLastError() == WSAEINVAL);
    CHECK(DestroyWindow(app));
}

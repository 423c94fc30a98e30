/* A server and its clients in one message loop, all through the C interface: packets of 0, 5
   and 100,000 bytes (and a frame written raw with QmtpSendPure) both ways, an accept, a close
   by the client, a reconnect of the closed client handle, and a close by the server. */
#include <stdlib.h>
#include <string.h>

#include "capi_check.h"

#define BIG 100000
/* The empty packet is a bare length field, of which the receiver makes no packet. */
#define DELIVERED 3

static HWND g_notify;
static QMTP g_listener;
static QMTP g_client;
static QMTP g_served;
static UINT g_port;
static int g_round; /* 1: the exchange, closed by the client; 2: the reconnect, closed by the server */
static int g_serverGot;
static int g_clientGot;
static int g_closes;

static char g_big[BIG];

/* 0, 5, [3: a frame written raw] and BIG bytes. */
static void send_packets(QMTP s, int withRawFrame) {
    static const char frame[] = {0, 0, 0, 3, 'a', 'b', 'c'};
    CHECK(QmtpSend(s, NULL, 0) != SOCKET_ERROR);
    CHECK(QmtpSend(s, "hello", 5) != SOCKET_ERROR);
    /* Refused sends between them queue nothing: the peer sees exactly the packets below. */
    CHECK_REFUSED(QmtpSend(s, NULL, 5), SOCKET_ERROR, WSAEFAULT);
    CHECK_REFUSED(QmtpSend(s, "hello", -1), SOCKET_ERROR, WSAEINVAL);
    CHECK_REFUSED(QmtpSendPure(s, NULL, 1), SOCKET_ERROR, WSAEFAULT);
    if (withRawFrame) {
        CHECK(QmtpSendPure(s, frame, (int)sizeof frame) != SOCKET_ERROR);
    }
    CHECK(QmtpSend(s, g_big, BIG) != SOCKET_ERROR);
}

/* Takes every waiting packet; `got` counts them against `expected`, their lengths in order. */
static void take_packets(QMTP s, int* got, const int* expected, int count) {
    for (;;) {
        char* data = NULL;
        int len = -1;
        const int left = QmtpRead(s, &data, &len);
        if (data == NULL) {
            CHECK(left == 0 && len == -1); /* nothing waited: the outputs are untouched */
            return;
        }
        CHECK(*got < count && len == expected[*got]);
        if (len == 5) {
            CHECK(memcmp(data, "hello", 5) == 0);
        } else if (len == 3) {
            CHECK(memcmp(data, "abc", 3) == 0);
        } else {
            CHECK(len == BIG && memcmp(data, g_big, BIG) == 0);
        }
        CHECK(data[len] == 0);
        QmtpFreeData(data);
        ++*got;
        if (left == 0) {
            return;
        }
    }
}

static void check_addresses(void) {
    char peer[16];
    char local[16];
    UINT peerPort = 0;
    UINT localPort = 0;
    CHECK(QmtpGetPeer(g_served, peer, (int)sizeof peer, &peerPort) == 1);
    CHECK(QmtpGetLocal(g_client, local, (int)sizeof local, &localPort) == 1);
    CHECK(strcmp(peer, "127.0.0.1") == 0 && strcmp(local, "127.0.0.1") == 0);
    CHECK(peerPort == localPort && peerPort != 0);
    CHECK(QmtpGetPeer(g_client, peer, (int)sizeof peer, &peerPort) == 1);
    CHECK(peerPort == g_port);
}

static void on_notify(WPARAM code, QMTP s) {
    if (s == g_listener) {
        CHECK(code == TP_NOTIFY_ACCEPT);
        CHECK(g_served == NULL);
        g_served = QmtpAccept(g_listener);
        CHECK(g_served != NULL);
        /* One connection waited: the next accept finds none. */
        CHECK_REFUSED(QmtpAccept(g_listener), NULL, WSAEWOULDBLOCK);
        if (g_round == 2 && g_served != NULL) {
            QmtpClose(g_served); /* the server ends this connection */
        }
        return;
    }
    if (s == g_client && code == TP_NOTIFY_CONNECT) {
        CHECK(QmtpGetError(g_client) == 0);
        if (g_round == 1) {
            send_packets(g_client, 1);
        }
        return;
    }
    if (s == g_served && code == TP_NOTIFY_RECEIVE && g_round == 1) {
        static const int fromClient[] = {5, 3, BIG};
        const int before = g_serverGot;
        take_packets(g_served, &g_serverGot, fromClient, 3);
        /* Once, when the last packet came: a read event posted while the reads were under way
           may come after it and find nothing. */
        if (before < DELIVERED && g_serverGot == DELIVERED) {
            send_packets(g_served, 0);
        }
        return;
    }
    if (s == g_client && code == TP_NOTIFY_RECEIVE && g_round == 1) {
        static const int fromServer[] = {5, BIG};
        const int before = g_clientGot;
        take_packets(g_client, &g_clientGot, fromServer, 2);
        if (before < DELIVERED - 1 && g_clientGot == DELIVERED - 1) {
            check_addresses();
            QmtpClose(g_client); /* the client ends the first connection */
            CHECK(QmtpGetError(g_client) == 0); /* the handle stays valid after a close */
        }
        return;
    }
    if (code == TP_NOTIFY_CLOSE) {
        ++g_closes;
        CHECK(QmtpGetError(s) == 0);
        if (g_round == 1) {
            /* The server saw the client's close: the closed client handle connects again. */
            CHECK(s == g_served);
            QmtpDestroy(g_served);
            g_served = NULL;
            g_round = 2;
            CHECK(QmtpConnect(g_client, "127.0.0.1", g_port) == 1);
        } else {
            /* The client saw the server's close. */
            CHECK(s == g_client);
            PostQuitMessage(0);
        }
    }
}

void capi_exchange_scenario(void) {
    HWND app;
    char address[16];
    int i;
    for (i = 0; i < BIG; ++i) {
        g_big[i] = (char)(i * 7 + 1);
    }
    app = capi_app_window(on_notify, 60);
    g_notify = QmNotifyWndCreate(app);
    CHECK(g_notify != NULL);
    g_listener = QmtpCreate(g_notify, app, CAPI_APP_MSG);
    g_client = QmtpCreate(g_notify, app, CAPI_APP_MSG);
    CHECK(g_listener != NULL && g_client != NULL && g_listener != g_client);
    CHECK(QmtpListen(g_listener, "127.0.0.1", 0) == 1);
    CHECK(QmtpGetLocal(g_listener, address, (int)sizeof address, &g_port) == 1);
    CHECK(strcmp(address, "127.0.0.1") == 0 && g_port != 0);
    g_round = 1;
    CHECK(QmtpConnect(g_client, "127.0.0.1", g_port) == 1);
    capi_run_loop();

    CHECK(g_serverGot == DELIVERED && g_clientGot == DELIVERED - 1 && g_closes == 2);
    CHECK(QmtpGetSendQueueBytes(g_client) == 0);
    QmtpDestroy(g_served);
    QmtpDestroy(g_client);
    QmtpDestroy(g_listener);
    QmNotifyWndDestroy(g_notify);
    CHECK(DestroyWindow(app));
}

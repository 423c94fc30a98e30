// WinSock start-up and shutdown, and WinSock error texts. The three functions may be called
// from any thread; QmSocketInit writes g_strSocketError, which is not synchronised.
#pragma once

#include "platform/mfc/afxstr.h"
#include "platform/winsock/winsock.h"

extern "C" {

// Starts WinSock 1.1. 1 when started and ready, else 0 (g_strSocketError holds the text of a
// WSAStartup failure). data may be NULL. Each success is matched by one QmSocketTerm.
TALVEN_API int QmSocketInit(WSADATA* data);

// WSACleanup's result unchanged: 0, or SOCKET_ERROR with the reason in WSAGetLastError.
TALVEN_API int QmSocketTerm();

// Puts the text of WinSock error `code` into `text` (0: "[0] No Error"; negative: empty;
// positive: the string table's entry) and returns its length.
TALVEN_API int QmGetWSAErrorString(int code, CString& text);

}  // extern "C"

// The text of the last failure of the asynchronous-socket code and of the packet-socket code.
// Written on the thread that drives the sockets (and by QmSocketInit); not synchronised.
extern CString g_strSocketError;
extern CString g_strTpSocketError;

// TALVEN: asynchronous sockets whose events arrive as window messages, and packet sockets
// that carry length-prefixed messages over TCP. The one header an application includes.
#pragma once

#include "platform/wintypes.h"
#include "platform/kernel32/kernel32.h"
#include "platform/user32/user32.h"
#include "platform/winsock/winsock.h"
#include "platform/msvcrt/msvcrt.h"
#include "platform/mfc/afxstr.h"
#include "platform/mfc/afxcoll.h"
#include "platform/mfc/afxtime.h"
#include "platform/mfc/afxexcept.h"
#include "platform/mfc/afxfile.h"
#include "platform/mfc/afxwin.h"

#include "socket/QmSocket.h"
#include "socket/CQmAsyncSocket.h"
#include "socket/CQmSocketNotifyWnd.h"
#include "packet/CPacketData.h"
#include "packet/CQmtpSocket.h"
#include "diag/QmSocketLog.h"


// Internal: keeps the events of a closed socket from the socket that gets its handle next.
//
// Windows gives a closed socket's handle value to the next socket at once, and closesocket
// leaves the WM_SOCKET_NOTIFY messages already posted for it in the queue. So a close notes the
// handle as closing for its notification window, and once the handle is closed posts a marker
// behind whatever WinSock posted for it: every event for the handle that the window meets before
// the marker belongs to the closed socket and is dropped. Events of a socket made after the
// close come after the marker, since posted messages keep their order.
//
// Threads: BeginClose and EndClose on any thread; the window's functions on the window's thread.
#pragma once

#include <atomic>

#include "platform/user32/user32.h"
#include "platform/winsock/winsock.h"

namespace talven::closed_sockets {

// CQmSocketNotifyWnd's window from Create to its destructor: only such windows take markers.
void AddWindow(HWND hwnd);
void RemoveWindow(HWND hwnd);  // forgets the window's closing handles too

// Around closesocket(s) of a socket whose events went to hwnd. BeginClose returns whether a
// marker is owed; EndClose posts it (or forgets the handle when the post fails).
bool BeginClose(HWND hwnd, SOCKET s);
void EndClose(HWND hwnd, SOCKET s, bool owed);

// Markers on their way, over every window. Constant-initialised, so valid at any time.
extern std::atomic<unsigned> g_pendingMarkers;

// IsStale once some marker is on its way.
bool IsStaleWhileClosing(HWND hwnd, WPARAM wParam, LPARAM lParam);

// For a WM_SOCKET_NOTIFY that hwnd received: true when it is to be dropped, a stale event or
// the marker itself (which ends the handle's closing). One atomic load while nothing closes.
inline bool IsStale(HWND hwnd, WPARAM wParam, LPARAM lParam) {
    return g_pendingMarkers.load() != 0 && IsStaleWhileClosing(hwnd, wParam, lParam);
}

}  // namespace talven::closed_sockets

// What the window system knows about one window.
//
// Fields fixed at creation are immutable and may be read by any thread that reached the
// record under the window table's lock. The owner thread may keep a pointer without the lock
// as long as it has not destroyed the window (only the owner removes a record).
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "platform/user32/user32.h"

namespace talven::platform::user32 {

class ThreadQueue;

struct WindowRecord {
    HWND hwnd = nullptr;
    DWORD threadId = 0;
    std::shared_ptr<ThreadQueue> queue;          // the owner thread's queue
    std::atomic<WNDPROC> proc{nullptr};          // the window procedure now in use
    WNDPROC classProc = nullptr;                 // the class's procedure (for subclassers)
    HWND owner = nullptr;                        // GW_OWNER
    std::string className;
    std::string text;
    std::atomic<LONG_PTR> userData{0};           // GWLP_USERDATA
    std::atomic<void*> object{nullptr};          // the CWnd attached to the window, if any
    LRESULT (*objectProc)(void*, HWND, UINT, WPARAM, LPARAM) = nullptr;  // see WindowAttach

    // Owner thread only:
    std::vector<HWND> ownedWindows;              // windows this one owns, on the same thread
    bool destroying = false;                     // DestroyWindow has started
};

}  // namespace talven::platform::user32

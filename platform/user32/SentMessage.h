// A message sent to a window of another thread, waiting to be run by that thread.
//
// It lives on the sending thread's stack for the whole SendMessageA call. The receiving thread
// keeps a pointer to it until it completes it through the sender's queue
// (ThreadQueue::CompleteSent); a queue that closes completes what it still holds with 0.
// So the record is never abandoned while another thread can reach it.
#pragma once

#include <memory>

#include "platform/user32/user32.h"

namespace talven::platform::user32 {

class ThreadQueue;

struct SentMessage {
    HWND hwnd = nullptr;
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    std::shared_ptr<ThreadQueue> sender;   // kept alive for the completion's wake-up
    LRESULT result = 0;                    // written before done, under the sender's lock
    bool done = false;                     // guarded by the sender's queue lock
    SentMessage* next = nullptr;           // link in the receiver's list, under its lock
};

}  // namespace talven::platform::user32

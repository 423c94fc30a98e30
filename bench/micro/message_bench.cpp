// Costs of the message path: posting, retrieval and dispatch on one thread and across
// threads, SendMessageA, and a CWnd's message-map dispatch.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "talven.h"

namespace {

constexpr UINT kWork = WM_USER + 1;
constexpr UINT kStop = WM_USER + 2;

std::atomic<long> g_handled{0};

LRESULT CALLBACK CountingProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == kWork) {
        g_handled.fetch_add(1, std::memory_order_relaxed);
        return static_cast<LRESULT>(wParam) + 1;
    }
    if (msg == kStop) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

HWND MakeCountingWindow() {
    static const bool registered = [] {
        WNDCLASSA wc;
        std::memset(&wc, 0, sizeof wc);
        wc.lpfnWndProc = &CountingProc;
        wc.lpszClassName = "TalvenMicroBenchCounting";
        return RegisterClassA(&wc) != 0;
    }();
    (void)registered;
    return CreateWindowExA(0, "TalvenMicroBenchCounting", "", 0, 0, 0, 0, 0, nullptr, nullptr,
                           nullptr, nullptr);
}

// A thread with a counting window and a GetMessageA loop; destroyed by posting kStop.
class LoopThread {
public:
    LoopThread() {
        thread_ = std::thread([this] {
            HWND hwnd = MakeCountingWindow();
            hwnd_.store(hwnd);
            MSG msg;
            while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
                DispatchMessageA(&msg);
            }
            DestroyWindow(hwnd);
        });
        while (hwnd_.load() == nullptr) {
            std::this_thread::yield();
        }
    }
    ~LoopThread() {
        PostMessageA(hwnd_.load(), kStop, 0, 0);
        thread_.join();
    }
    HWND hwnd() const { return hwnd_.load(); }

private:
    std::atomic<HWND> hwnd_{nullptr};
    std::thread thread_;
};

void BM_PostPeekDispatch_SameThread(benchmark::State& state) {
    HWND hwnd = MakeCountingWindow();
    MSG msg;
    for (auto _ : state) {
        PostMessageA(hwnd, kWork, 1, 0);
        PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE);
        DispatchMessageA(&msg);
    }
    DestroyWindow(hwnd);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PostPeekDispatch_SameThread);

// Batches of posts to one's own window, then the loop drains them: the queue's steady state.
void BM_PostBatchThenDrain_SameThread(benchmark::State& state) {
    HWND hwnd = MakeCountingWindow();
    const int batch = static_cast<int>(state.range(0));
    MSG msg;
    for (auto _ : state) {
        for (int i = 0; i < batch; ++i) {
            PostMessageA(hwnd, kWork, 1, 0);
        }
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageA(&msg);
        }
    }
    DestroyWindow(hwnd);
    state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(BM_PostBatchThenDrain_SameThread)->Arg(64)->Arg(1024);

// Posts to a window of another thread that runs its message loop; the time includes
// delivery of every message posted.
void BM_Post_CrossThread(benchmark::State& state) {
    LoopThread loop;
    const long before = g_handled.load();
    long posted = 0;
    for (auto _ : state) {
        PostMessageA(loop.hwnd(), kWork, 1, 0);
        ++posted;
    }
    while (g_handled.load() - before < posted) {
        std::this_thread::yield();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Post_CrossThread)->UseRealTime();

void BM_SendMessage_SameThread(benchmark::State& state) {
    HWND hwnd = MakeCountingWindow();
    WPARAM w = 0;
    for (auto _ : state) {
        w = static_cast<WPARAM>(SendMessageA(hwnd, kWork, w, 0));
    }
    benchmark::DoNotOptimize(w);
    DestroyWindow(hwnd);
}
BENCHMARK(BM_SendMessage_SameThread);

// A round trip: the other thread wakes, runs the handler, and wakes the sender.
void BM_SendMessage_CrossThread(benchmark::State& state) {
    LoopThread loop;
    WPARAM w = 0;
    for (auto _ : state) {
        w = static_cast<WPARAM>(SendMessageA(loop.hwnd(), kWork, w, 0));
    }
    benchmark::DoNotOptimize(w);
}
BENCHMARK(BM_SendMessage_CrossThread)->UseRealTime();

class BenchWnd : public CWnd {
public:
    long count = 0;

protected:
    LRESULT OnWork(WPARAM, LPARAM) {
        ++count;
        return 0;
    }
    LRESULT OnOther(WPARAM, LPARAM) { return 0; }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(BenchWnd, CWnd)
ON_MESSAGE(WM_USER + 10, OnOther)
ON_MESSAGE(WM_USER + 11, OnOther)
ON_MESSAGE(kWork, OnWork)
END_MESSAGE_MAP()

void BM_PostPeekDispatch_CWnd(benchmark::State& state) {
    BenchWnd wnd;
    wnd.CreateEx(0, AfxRegisterWndClass(0), "", 0, 0, 0, 0, 0, nullptr, nullptr);
    MSG msg;
    for (auto _ : state) {
        wnd.PostMessage(kWork, 0, 0);
        PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE);
        DispatchMessageA(&msg);
    }
    benchmark::DoNotOptimize(wnd.count);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PostPeekDispatch_CWnd);

void BM_IsWindow(benchmark::State& state) {
    HWND hwnd = MakeCountingWindow();
    for (auto _ : state) {
        benchmark::DoNotOptimize(IsWindow(hwnd));
    }
    DestroyWindow(hwnd);
}
BENCHMARK(BM_IsWindow)->ThreadRange(1, 2);

}  // namespace

// A program that loads the library with dlopen rather than linking it. The emulation's hot
// per-thread variables use the initial-exec TLS model, which a late-loaded library can use
// only while they fit the static TLS space the loader keeps in reserve: this checks that the
// library loads, and that its per-thread state is still per thread in threads made before and
// after the load.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <link.h>

#include <cstring>

#include <future>
#include <thread>

#include "platform/kernel32/kernel32.h"
#include "platform/user32/user32.h"

namespace {

class Loaded {
public:
    Loaded() : handle_(dlopen(TALVEN_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL)) {}
    ~Loaded() {
        if (handle_ != nullptr) {
            dlclose(handle_);
        }
    }
    Loaded(const Loaded&) = delete;
    Loaded& operator=(const Loaded&) = delete;

    void* handle() const { return handle_; }

    // The Win32 functions have C linkage: they are looked up by their plain names.
    template <typename Fn>
    Fn* Get(const char* name) const {
        return reinterpret_cast<Fn*>(dlsym(handle_, name));
    }

private:
    void* handle_;
};

struct Api {
    explicit Api(const Loaded& lib)
        : threadId(lib.Get<decltype(::GetCurrentThreadId)>("GetCurrentThreadId")),
          setLastError(lib.Get<decltype(::SetLastError)>("SetLastError")),
          getLastError(lib.Get<decltype(::GetLastError)>("GetLastError")),
          post(lib.Get<decltype(::PostMessageA)>("PostMessageA")),
          peek(lib.Get<decltype(::PeekMessageA)>("PeekMessageA")) {}

    bool complete() const { return threadId && setLastError && getLastError && post && peek; }

    decltype(::GetCurrentThreadId)* threadId;
    decltype(::SetLastError)* setLastError;
    decltype(::GetLastError)* getLastError;
    decltype(::PostMessageA)* post;
    decltype(::PeekMessageA)* peek;
};

// Uses every kind of per-thread state on the calling thread: its id, its last error, and its
// message queue (a thread message posted to itself and taken back).
void UseOnThisThread(const Api& api, DWORD error, DWORD* id) {
    *id = api.threadId();
    api.setLastError(error);
    EXPECT_TRUE(api.post(nullptr, WM_USER + 1, error, 0));
    MSG msg{};
    EXPECT_TRUE(api.peek(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_USER + 1));
    EXPECT_EQ(msg.wParam, static_cast<WPARAM>(error));
    EXPECT_EQ(api.getLastError(), error);
}

TEST(DlopenedLibrary, LoadsAndKeepsPerThreadStateApart) {
    // A thread that exists before the load gets the library's TLS from the reserve too.
    std::promise<void> loaded;
    std::future<void> loadedSeen = loaded.get_future();
    DWORD earlyId = 0;
    const Api* apiForEarly = nullptr;
    std::thread early([&] {
        loadedSeen.wait();
        if (apiForEarly != nullptr) {
            UseOnThisThread(*apiForEarly, 21, &earlyId);
        }
    });

    Loaded lib;
    if (lib.handle() == nullptr) {
        loaded.set_value();  // let the early thread go before failing
        early.join();
        FAIL() << "dlopen: " << dlerror();
    }
    const Api api(lib);
    if (api.complete()) {
        apiForEarly = &api;
    }
    loaded.set_value();
    if (!api.complete()) {
        early.join();
        FAIL() << "a function is missing from the library";
    }

    DWORD mainId = 0;
    UseOnThisThread(api, 5, &mainId);
    DWORD lateId = 0;
    std::thread late([&] { UseOnThisThread(api, 7, &lateId); });
    late.join();
    early.join();

    EXPECT_EQ(api.getLastError(), 5u);
    EXPECT_NE(mainId, 0u);
    EXPECT_NE(mainId, lateId);
    EXPECT_NE(mainId, earlyId);
    EXPECT_NE(lateId, earlyId);
}

// The reserve for late-loaded libraries is shared by every one of them (glibc keeps 512
// bytes or more for the initial-exec blocks): the library takes a small part of it.
TEST(DlopenedLibrary, ThreadLocalBlockStaysSmall) {
    Loaded lib;
    ASSERT_NE(lib.handle(), nullptr) << dlerror();
    struct Found {
        bool library = false;
        std::size_t tlsBytes = 0;
    } found;
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* data) {
            auto* f = static_cast<Found*>(data);
            if (info->dlpi_name == nullptr || std::strstr(info->dlpi_name, "libtalven") == nullptr) {
                return 0;
            }
            f->library = true;
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                if (info->dlpi_phdr[i].p_type == PT_TLS) {
                    f->tlsBytes = info->dlpi_phdr[i].p_memsz;
                }
            }
            return 1;
        },
        &found);
    ASSERT_TRUE(found.library);
    EXPECT_LE(found.tlsBytes, 192u);
}

}  // namespace

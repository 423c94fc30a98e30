// TALVEN.dll's life in a process, as Windows runs it: loaded and unloaded again by a plug-in
// host, and detached at process exit while another of the process's threads was inside it.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>

#include "support/child_process.h"

namespace {

using ExchangeFn = int (*)(char*, int);
using StartFn = void (*)();
const char kPlugin[] = "talven_test_plugin.dll";

// FreeLibrary and LoadLibrary again, twice. The window class must belong to the DLL (registered
// with the module handle DllMain gets) and leave with it: a class left registered would route a
// later window's messages into an unloaded procedure (RegisterClassA's and UnregisterClassA's
// reference pages: a DLL must unregister its classes when it is unloaded).
TEST(DllLifetime, UnloadAndLoadAgainTwiceLeavesNoClassBehind) {
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        const HMODULE plugin = LoadLibraryA(kPlugin);
        ASSERT_NE(plugin, nullptr) << GetLastError();
        const HMODULE library = GetModuleHandleA("TALVEN.dll");
        ASSERT_NE(library, nullptr);
        const auto exchange = reinterpret_cast<ExchangeFn>(
            reinterpret_cast<void*>(GetProcAddress(plugin, "PluginExchange")));
        ASSERT_NE(exchange, nullptr);
        char name[256] = {};
        EXPECT_EQ(exchange(name, sizeof name), 0);
        ASSERT_NE(name[0], '\0');
        WNDCLASSEXA wc{};
        wc.cbSize = sizeof wc;
        EXPECT_TRUE(GetClassInfoExA(library, name, &wc)) << "class not registered with the DLL";

        ASSERT_TRUE(FreeLibrary(plugin));
        EXPECT_EQ(GetModuleHandleA("TALVEN.dll"), nullptr) << "the library stayed loaded";
        for (HINSTANCE owner : {static_cast<HINSTANCE>(library), static_cast<HINSTANCE>(nullptr),
                                GetModuleHandleA(nullptr)}) {
            EXPECT_FALSE(GetClassInfoExA(owner, name, &wc)) << name << " outlived the DLL";
        }
    }
}

// At process exit the other threads are gone before the detach, perhaps holding the library's
// locks; a detach that takes them waits for ever (DllMain's reference page: with a non-null
// lpReserved, do no clean-up). Several runs, since the loop holds the lock only part of the time.
TEST(DllLifetime, ProcessExitEndsWhileAnotherThreadIsInsideTheLibrary) {
    char self[MAX_PATH];
    ASSERT_GT(GetModuleFileNameA(nullptr, self, sizeof self), 0u);
    char dir[MAX_PATH];
    ASSERT_GT(GetTempPathA(sizeof dir, dir), 0u);
    for (int run = 0; run < 3; ++run) {
        SCOPED_TRACE(run);
        const std::string base = std::string(dir) + "talven_exit_" + std::to_string(run);
        talven_test::ChildProcess child(self, "--exit-while-busy", dir, "", base + ".out",
                                        base + ".err");
        ASSERT_TRUE(child.started());
        EXPECT_EQ(child.Wait(20000), 0) << "the process did not end (watchdog)";
    }
}

// The child of the test above: loads the plug-in, starts its loop, and exits.
int ExitWhileBusy() {
    const HMODULE plugin = LoadLibraryA(kPlugin);
    if (plugin == nullptr) return 2;
    const auto start = reinterpret_cast<StartFn>(
        reinterpret_cast<void*>(GetProcAddress(plugin, "PluginStartTextLoop")));
    if (start == nullptr) return 3;
    start();
    Sleep(50);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--exit-while-busy") == 0) {
        return ExitWhileBusy();
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

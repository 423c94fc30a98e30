#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "platform/mfc/afxdll.h"
#include "socket/DllMain.h"
#include "socket/QmModule.h"
#include "talven.h"

namespace {

struct ErrorText {
    int code;
    const char* text;
};

const ErrorText kErrorTexts[] = {
    {10004, "WSAEINTR: Interrupted system call"},
    {10009, "WSAEBADF: Bad file number"},
    {10013, "WSACCESS: Permission denied"},
    {10014, "WSAEFAULT: Bad address"},
    {10022, "WSAEINVAL: Invalid argument"},
    {10024, "WSAEMFILE: Too many open files"},
    {10035, "WSAEWOULDBLOCK: Operation would block"},
    {10036, "WSAEINPROGRESS: Operation now in progress"},
    {10037, "WSAEALREADY: Operation already in progress"},
    {10038, "WSAENOTSOCK: Socket operation on non-socket"},
    {10039, "WSAEDESTADDRREQ: Destination address required"},
    {10040, "WSAEMSGSIZE: Message too long"},
    {10041, "WSAEPROTOTYPE: Protocol wrong type for socket"},
    {10042, "WSAENOPROTOOPT: Bad protocol option"},
    {10043, "WSAEPROTONOSUPPORT: Protocol not supported"},
    {10044, "WSAESOCKTNOSUPPORT: Socket type not supported"},
    {10045, "WSAEOPNOTSUPP: Operation not supported on socket"},
    {10046, "WSAEPFNNOSUPPORT: Protocol family not supported"},
    {10047, "WSAEAFNNOSUPPORT: Address family not supported by protocol family"},
    {10048, "WSAEADDRINUSE: Address already in use"},
    {10049, "WSAEADDRNOTAVAIL: Can't assign requested address"},
    {10050, "WSAENETDOWN: Network is down"},
    {10051, "WSAENETUNREACH: Network is unreachable"},
    {10052, "WSAENETRESET: Net dropped connection or reset"},
    {10053, "WSAECONNABORTED: Software caused connection abort"},
    {10054, "WSAECONNRESET: Connection reset by peer"},
    {10055, "WSAENOBUFS: No buffer space available"},
    {10056, "WSAEISCONN: Socket is already connected"},
    {10057, "WSAENOTCONN: Socket is not connected"},
    {10058, "WSAESHUTDOWN: Can't send after socket shutdown"},
    {10059, "WSAETOOMANYREFS: Too many references, can't splice"},
    {10060, "WSAETIMEDOUT: Connection timed out"},
    {10061, "WSAECONNREFUSED: Connection refused"},
    {10062, "WSAELOOP: Too many levels of symbolic links"},
    {10063, "WSAENAMETOOLONG: File name too long"},
    {10064, "WSAEHOSTDOWN: Host is down"},
    {10065, "WSAEHOSTUNREACH: No route to host"},
    {10066, "WSAENOTEMPTY: Directory not empty"},
    {10067, "WSAEPROCLIM: Too many processes"},
    {10068, "WSAEUSERS: Too many users"},
    {10069, "WSAEDQUOT: Disc quota exceeded"},
    {10070, "WSAESTALE: Stale NFS file handle"},
    {10071, "WSAEREMOTE: Too many levels of remote in path"},
    {10091, "WSASYSNOTREADY: Network subsystem is unavailable"},
    {10092, "WSAVERNOTSUPPORTED: WINSOCK DLL Version out of range"},
    {10093, "WSANOTINITIALISED: Successful WSASTARTUP not yet performed"},
    {11001, "WSAHOST_NOT_FOUND: Host not found"},
    {11002, "WSATRY_AGAIN: Non-Authoritative host not found"},
    {11003, "WSANO_RECOVERY: Non-recoverable errors: FORMERR, REFUSED, NOTIMP"},
    {11004, "WSANO_DATA: Valid name, no data record of requested type"},
};

TEST(QmGetWSAErrorString, EveryCodeHasItsText) {
    for (const ErrorText& entry : kErrorTexts) {
        CString text("previous");
        EXPECT_EQ(QmGetWSAErrorString(entry.code, text), static_cast<int>(std::strlen(entry.text)))
            << entry.code;
        EXPECT_STREQ(text, entry.text) << entry.code;
    }
}

TEST(QmGetWSAErrorString, ZeroMeansNoError) {
    CString text;
    EXPECT_EQ(QmGetWSAErrorString(0, text), 12);
    EXPECT_STREQ(text, "[0] No Error");
}

// 0x10000 + 10035 has no entry either, although its low 16 bits name one.
TEST(QmGetWSAErrorString, NegativeAndMissingCodesGiveAnEmptyText) {
    for (int code : {-1, INT_MIN, 1, 9999, 10001, 10072, 10094, 11000, 11005, 0x10000 + 10035, INT_MAX}) {
        CString text("previous");
        EXPECT_EQ(QmGetWSAErrorString(code, text), 0) << code;
        EXPECT_TRUE(text.IsEmpty()) << code;
    }
}

// The texts come from the library's own module, not from some other module in the chain.
TEST(QmGetWSAErrorString, TableIsTheLibrarysOwn) {
    char buffer[128];
    EXPECT_EQ(LoadStringA(QmGetModuleInstance(), 10035, buffer, sizeof buffer), 37);
    EXPECT_STREQ(buffer, "WSAEWOULDBLOCK: Operation would block");
}

// Detach takes the library out of the resource chain, so its texts can no longer be found;
// attach puts it back.
TEST(LibraryEntryPoint, DetachAndAttachLeaveAndJoinTheResourceChain) {
    CString text;
    ASSERT_EQ(QmGetWSAErrorString(10035, text), 37);
    ASSERT_TRUE(DllMain(QmGetModuleInstance(), DLL_PROCESS_DETACH, nullptr));
    EXPECT_EQ(QmGetWSAErrorString(10035, text), 0);
    EXPECT_EQ(QmGetWSAErrorString(0, text), 0);
    ASSERT_TRUE(DllMain(QmGetModuleInstance(), DLL_PROCESS_ATTACH, nullptr));
    EXPECT_EQ(QmGetWSAErrorString(10035, text), 37);
    EXPECT_TRUE(DllMain(QmGetModuleInstance(), DLL_THREAD_ATTACH, nullptr));
    EXPECT_TRUE(DllMain(QmGetModuleInstance(), DLL_THREAD_DETACH, nullptr));
    EXPECT_FALSE(DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr));
}

}  // namespace

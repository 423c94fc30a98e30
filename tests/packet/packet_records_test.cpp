// Framing of a payload and ownership of packet records and their bytes.
#include <gtest/gtest.h>

#include "packet_test_util.h"

using packet_test::ProbeSocket;

namespace {

char* NewBuffer(const std::string& bytes) {
    char* p = static_cast<char*>(::operator new(bytes.size() + 1));
    std::memcpy(p, bytes.data(), bytes.size());
    p[bytes.size()] = 0;
    return p;
}

struct FramingCase {
    size_t len;
    const char* lengthField;  // 4 bytes
};

TEST(PacketFraming, LengthFieldIsBigEndianAndPayloadIsFollowedByOneZero) {
    const FramingCase cases[] = {
        {3, "\x00\x00\x00\x03"},
        {300, "\x00\x00\x01\x2C"},
        {65536, "\x00\x01\x00\x00"},
        {0, "\x00\x00\x00\x00"},
    };
    ProbeSocket sock;
    for (const FramingCase& c : cases) {
        SCOPED_TRACE(c.len);
        const std::string payload = c.len == 3 ? std::string("abc") : packet_test::Payload(c.len, 7);
        std::string dest(c.len + 5, '\x55');
        sock.AddPacketSize(&dest[0], payload.data(), static_cast<int>(c.len));
        EXPECT_EQ(std::string(c.lengthField, 4), dest.substr(0, 4));
        EXPECT_EQ(payload, dest.substr(4, c.len));
        EXPECT_EQ('\0', dest[c.len + 4]);
    }
}

TEST(PacketRecords, DestroyingARecordLeavesItsBufferToTheOwner) {
    char* buf = NewBuffer("abc");
    auto* rec = new CPacketData(buf, 3);
    EXPECT_EQ(buf, rec->m_pData);
    EXPECT_EQ(3, rec->m_nLen);
    delete rec;
    // Still allocated and unchanged (the address sanitizer reports a use after free).
    EXPECT_STREQ("abc", buf);
    ::operator delete(buf);

    CPacketData empty;
    EXPECT_EQ(nullptr, empty.m_pData);
    EXPECT_EQ(0, empty.m_nLen);
}

TEST(PacketRecords, RemoveAllPacketFreesEveryRecordAndBuffer) {
    ProbeSocket sock;
    CTypedPtrList<CPtrList, CPacketData*> list(10);
    sock.RemoveAllPacket(list);
    EXPECT_TRUE(list.IsEmpty());

    for (int i = 0; i < 25; ++i) {
        list.AddTail(new CPacketData(NewBuffer(packet_test::Payload(i, i)), i));
    }
    list.AddTail(new CPacketData());  // a record without bytes
    sock.RemoveAllPacket(list);
    EXPECT_TRUE(list.IsEmpty());
    // Whatever was not freed is reported by the leak checker at exit.
}

TEST(PacketRecords, DestructionFreesBothListsButNotPacketsAlreadyTaken) {
    auto* sock = new ProbeSocket;
    for (int i = 0; i < 12; ++i) {
        sock->m_SendList.AddTail(new CPacketData(NewBuffer(packet_test::Payload(100, i)), 100));
        sock->m_RecvList.AddTail(new CPacketData(NewBuffer(packet_test::Payload(50, i)), 50));
    }
    char* taken = nullptr;
    int len = 0;
    EXPECT_EQ(11, sock->ReadData(taken, len));
    ASSERT_NE(nullptr, taken);
    delete sock;
    // The taken packet is the application's: still valid after the socket is gone.
    EXPECT_EQ(packet_test::Payload(50, 0), std::string(taken, static_cast<size_t>(len)));
    ::operator delete(taken);
}

}  // namespace

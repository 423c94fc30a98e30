// Framing of one payload, and emptying a packet list together with its bytes.
#include <cstring>

#include "packet/CQmtpSocket.h"

void CQmtpSocket::AddPacketSize(char* dest, const char* src, int len) {
    const winsock::u_long wireLen = winsock::htonl(static_cast<winsock::u_long>(len));
    std::memcpy(dest, &wireLen, 4);
    if (len > 0) {
        std::memcpy(dest + 4, src, static_cast<size_t>(len));
    }
    dest[len + 4] = 0;
}

// Runs from the destructor only, when no other thread may use the socket: takes no lock.
void CQmtpSocket::RemoveAllPacket(CTypedPtrList<CPtrList, CPacketData*>& list) {
    if (list.IsEmpty()) {
        return;
    }
    POSITION pos = list.GetHeadPosition();
    while (pos != nullptr) {
        CPacketData* rec = list.GetNext(pos);
        if (rec != nullptr) {
            if (rec->m_pData != nullptr) {
                ::operator delete(rec->m_pData);
            }
            delete rec;
        }
    }
    list.RemoveAll();
}

// CPacketData: a plain carrier of one packet's bytes in a packet list. It never allocates,
// copies or frees m_pData; whoever destroys a record settles what becomes of the bytes.
#pragma once

#include "platform/wintypes.h"

class TALVEN_API CPacketData {
public:
    CPacketData();
    CPacketData(char* data, int len);
    virtual ~CPacketData();

    char* m_pData;
    int m_nLen;
};

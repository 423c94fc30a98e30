#include "packet/CPacketData.h"

CPacketData::CPacketData() : m_pData(nullptr), m_nLen(0) {}

CPacketData::CPacketData(char* data, int len) : m_pData(data), m_nLen(len) {}

// Frees nothing: the bytes belong to whoever destroys the record (see the header).
CPacketData::~CPacketData() = default;

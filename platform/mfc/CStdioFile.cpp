#include "platform/mfc/afxfile.h"

#include <cstring>

namespace {

// "\n" becomes CR LF; every other byte is kept.
std::string ToTextMode(const char* bytes, std::size_t count) {
    std::string out;
    out.reserve(count + count / 16 + 2);
    for (std::size_t i = 0; i < count; ++i) {
        if (bytes[i] == '\n') {
            out += '\r';
        }
        out += bytes[i];
    }
    return out;
}

constexpr std::size_t kReadChunk = 4096;

}  // namespace

CStdioFile::CStdioFile() = default;

CStdioFile::CStdioFile(LPCSTR fileName, UINT openFlags) {
    CFileException error;
    if (!CStdioFile::Open(fileName, openFlags, &error)) {
        throw new CFileException(error.m_cause, error.m_lOsError, error.m_strFileName);
    }
}

BOOL CStdioFile::Open(LPCSTR fileName, UINT openFlags, CFileException* error) {
    readAhead_.clear();
    readPos_ = 0;
    text_ = (openFlags & typeBinary) == 0;
    return OpenFile(fileName, openFlags, error);
}

void CStdioFile::DropReadAhead() {
    const std::size_t unread = readAhead_.size() - readPos_;
    readAhead_.clear();
    readPos_ = 0;
    if (unread > 0 && handle_ != -1) {
        CFile::Seek(-static_cast<LONG>(unread), current);
    }
}

bool CStdioFile::FillReadAhead() {
    if (readPos_ > 0) {
        readAhead_.erase(0, readPos_);
        readPos_ = 0;
    }
    const std::size_t kept = readAhead_.size();
    readAhead_.resize(kept + kReadChunk);
    std::size_t got;
    try {
        got = ReadRaw(&readAhead_[kept], kReadChunk);
    } catch (...) {
        readAhead_.resize(kept);
        throw;
    }
    readAhead_.resize(kept + got);
    return got > 0;
}

bool CStdioFile::NextChar(char& ch) {
    if (readPos_ >= readAhead_.size() && !FillReadAhead()) {
        return false;
    }
    ch = readAhead_[readPos_++];
    if (text_ && ch == '\r') {
        if (readPos_ >= readAhead_.size()) {
            FillReadAhead();
        }
        if (readPos_ < readAhead_.size() && readAhead_[readPos_] == '\n') {
            ch = '\n';
            ++readPos_;
        }
    }
    return true;
}

void CStdioFile::WriteString(LPCSTR text) {
    if (text == nullptr) {
        return;
    }
    Write(text, static_cast<UINT>(std::strlen(text)));
}

void CStdioFile::Write(const void* buffer, UINT count) {
    CheckOpen();
    DropReadAhead();
    const char* bytes = static_cast<const char*>(buffer);
    if (!text_) {
        WriteRaw(bytes, count);
        return;
    }
    // One write for the whole translated text, so that a line is never split by us.
    const std::string converted = ToTextMode(bytes, count);
    WriteRaw(converted.data(), converted.size());
}

UINT CStdioFile::Read(void* buffer, UINT count) {
    CheckOpen();
    char* out = static_cast<char*>(buffer);
    UINT total = 0;
    char ch;
    while (total < count && NextChar(ch)) {
        out[total++] = ch;
    }
    return total;
}

BOOL CStdioFile::ReadString(CString& line) {
    CheckOpen();
    line.Empty();
    char ch;
    bool any = false;
    while (NextChar(ch)) {
        any = true;
        if (ch == '\n') {
            break;
        }
        line += ch;
    }
    return any ? TRUE : FALSE;
}

void CStdioFile::Flush() { CFile::Flush(); }

LONG CStdioFile::Seek(LONG offset, UINT from) {
    CheckOpen();
    DropReadAhead();
    return CFile::Seek(offset, from);
}

void CStdioFile::Close() {
    readAhead_.clear();
    readPos_ = 0;
    CFile::Close();
}

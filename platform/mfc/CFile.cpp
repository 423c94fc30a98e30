// CFile's members that are the same on every system; opening, positioning, reading, writing
// and closing the handle are per system (CFile_posix.cpp, CFile_win32.cpp).
#include "platform/mfc/afxfile.h"

CFile::CFile() = default;

CFile::CFile(LPCSTR fileName, UINT openFlags) {
    CFileException error;
    if (!OpenFile(fileName, openFlags, &error)) {
        throw new CFileException(error.m_cause, error.m_lOsError, error.m_strFileName);
    }
}

CFile::~CFile() { CFile::Abort(); }

BOOL CFile::Open(LPCSTR fileName, UINT openFlags, CFileException* error) {
    return OpenFile(fileName, openFlags, error);
}

void CFile::ThrowOsError(int osError) const {
    throw new CFileException(CFileException::OsErrorToException(osError), osError, path_);
}

void CFile::ThrowCause(int cause) const { throw new CFileException(cause, -1, path_); }

void CFile::CheckOpen() const {
    if (handle_ == -1) {
        ThrowCause(CFileException::invalidFile);
    }
}

LONG CFile::SeekToEnd() { return Seek(0, end); }

void CFile::Write(const void* buffer, UINT count) {
    WriteRaw(static_cast<const char*>(buffer), count);
}

UINT CFile::Read(void* buffer, UINT count) {
    return static_cast<UINT>(ReadRaw(static_cast<char*>(buffer), count));
}

// Writes go straight to the system: there is no buffer of our own to flush.
void CFile::Flush() { CheckOpen(); }

CString CFile::GetFilePath() const { return path_; }

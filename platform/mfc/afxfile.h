// CFile and CStdioFile with CFileException: the file subset the library uses.
// One object is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/mfc/afxexcept.h"

class TALVEN_API CFileException : public CException {
public:
    enum {
        none,
        genericException,
        fileNotFound,
        badPath,
        tooManyOpenFiles,
        accessDenied,
        invalidFile,
        removeCurrentDir,
        directoryFull,
        badSeek,
        hardIO,
        sharingViolation,
        lockViolation,
        diskFull = 14,  // MFC's values: 13 is not a cause
        endOfFile
    };
    explicit CFileException(int cause = none, LONG osError = -1, LPCSTR fileName = nullptr);
    // The cause for a system error: an errno value on POSIX, a Win32 error code on Windows.
    static int OsErrorToException(LONG osError);
    BOOL GetErrorMessage(LPSTR buffer, UINT maxLength, UINT* helpContext = nullptr) const override;

    int m_cause;
    LONG m_lOsError;
    CString m_strFileName;
};

// Opening: modeCreate makes a missing file; without modeNoTruncate an existing file is emptied,
// but only once the open is granted, so a refused open never harms the holder's content. An
// open without share flags (shareCompat) is exclusive, as is shareExclusive. A conflicting open,
// in this process or another, fails with sharingViolation. On Windows the share modes are the
// system's own; elsewhere sharing is an advisory lock (flock) on the open file: shareDenyNone
// and shareDenyWrite take a shared lock, every other share mode an exclusive one. The file is
// never inherited by child programs, so a child never keeps it locked.
class TALVEN_API CFile {
public:
    enum OpenFlags {
        modeRead = 0x0000,
        modeWrite = 0x0001,
        modeReadWrite = 0x0002,
        shareCompat = 0x0000,       // exclusive here: no other open of the file while held
        shareExclusive = 0x0010,
        shareDenyWrite = 0x0020,
        shareDenyRead = 0x0030,
        shareDenyNone = 0x0040,
        modeNoInherit = 0x0080,
        modeCreate = 0x1000,
        modeNoTruncate = 0x2000,
        typeText = 0x4000,
        typeBinary = (int)0x8000
    };
    enum SeekPosition { begin = 0x0, current = 0x1, end = 0x2 };

    CFile();
    CFile(LPCSTR fileName, UINT openFlags);   // throws CFileException* on failure
    virtual ~CFile();                         // closes without throwing
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;

    virtual BOOL Open(LPCSTR fileName, UINT openFlags, CFileException* error = nullptr);
    virtual LONG Seek(LONG offset, UINT from);  // throws CFileException*
    LONG SeekToEnd();
    virtual void Write(const void* buffer, UINT count); // throws CFileException*
    virtual UINT Read(void* buffer, UINT count);        // throws CFileException*
    virtual void Flush();
    virtual void Close();                     // throws CFileException* when flushing fails
    virtual void Abort();                     // closes, never throws
    CString GetFilePath() const;

protected:
    // The non-virtual core of Open: FALSE, and *error filled when given, on failure.
    BOOL OpenFile(LPCSTR fileName, UINT openFlags, CFileException* error);
    [[noreturn]] void ThrowOsError(int osError) const;
    [[noreturn]] void ThrowCause(int cause) const;
    void CheckOpen() const;                           // throws invalidFile when closed
    void WriteRaw(const char* bytes, std::size_t count);  // all of them, or throws
    std::size_t ReadRaw(char* bytes, std::size_t count);  // fewer only at end of file

    std::intptr_t handle_ = -1;  // the descriptor, or on Windows the HANDLE; -1 while closed
    CString path_;
};

// Text-mode file: WriteString stores "\n" as CR LF unless the file was opened typeBinary.
class TALVEN_API CStdioFile : public CFile {
public:
    CStdioFile();
    CStdioFile(LPCSTR fileName, UINT openFlags);  // throws CFileException* on failure

    BOOL Open(LPCSTR fileName, UINT openFlags, CFileException* error = nullptr) override;
    virtual void WriteString(LPCSTR text);        // throws CFileException*
    virtual BOOL ReadString(CString& line);       // one line without its end; FALSE at EOF
    void Write(const void* buffer, UINT count) override;
    UINT Read(void* buffer, UINT count) override;
    void Flush() override;
    LONG Seek(LONG offset, UINT from) override;
    void Close() override;

private:
    void DropReadAhead();                 // gives unread bytes back to the file position
    bool FillReadAhead();                 // false at end of file
    bool NextChar(char& ch);              // text mode turns CR LF into "\n"; false at EOF

    bool text_ = true;
    std::string readAhead_;               // bytes read from the file but not yet consumed
    std::size_t readPos_ = 0;             // first unconsumed byte of readAhead_
};

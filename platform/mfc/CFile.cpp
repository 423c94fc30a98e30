#include "platform/mfc/afxfile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace {

int OpenMode(UINT flags) {
    switch (flags & 0x3) {
    case CFile::modeWrite:
        return O_WRONLY;
    case CFile::modeReadWrite:
        return O_RDWR;
    default:
        return O_RDONLY;
    }
}

int LockMode(UINT flags) {
    switch (flags & 0x70) {
    case CFile::shareDenyNone:
    case CFile::shareDenyWrite:
        return LOCK_SH;
    default:  // shareCompat, shareExclusive, shareDenyRead
        return LOCK_EX;
    }
}

void CloseQuietly(int fd) {
    // Linux releases the descriptor even when close reports EINTR: never retry.
    ::close(fd);
}

}  // namespace

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

BOOL CFile::OpenFile(LPCSTR fileName, UINT openFlags, CFileException* error) {
    Abort();
    auto fail = [&](int cause, int osError) {
        if (error != nullptr) {
            error->m_cause = cause;
            error->m_lOsError = osError;
            error->m_strFileName = fileName;
        }
        return FALSE;
    };
    if (fileName == nullptr || *fileName == '\0') {
        return fail(CFileException::badPath, ENOENT);
    }

    // No O_TRUNC here: truncation waits until the lock is held.
    int flags = OpenMode(openFlags) | O_CLOEXEC;
    if (openFlags & modeCreate) {
        flags |= O_CREAT;
    }
    int fd;
    do {
        fd = ::open(fileName, flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int osError = errno;
        return fail(CFileException::OsErrorToException(osError), osError);
    }

    struct stat info;
    if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        CloseQuietly(fd);
        return fail(CFileException::accessDenied, EISDIR);
    }

    int locked;
    do {
        locked = ::flock(fd, LockMode(openFlags) | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) {
        const int osError = errno;
        CloseQuietly(fd);
        return fail(CFileException::OsErrorToException(osError), osError);
    }

    if ((openFlags & modeCreate) && !(openFlags & modeNoTruncate) && ::ftruncate(fd, 0) != 0) {
        const int osError = errno;
        CloseQuietly(fd);
        return fail(CFileException::OsErrorToException(osError), osError);
    }

    fd_ = fd;
    path_ = fileName;
    return TRUE;
}

void CFile::ThrowOsError(int osError) const {
    throw new CFileException(CFileException::OsErrorToException(osError), osError, path_);
}

void CFile::ThrowCause(int cause) const { throw new CFileException(cause, -1, path_); }

void CFile::CheckOpen() const {
    if (fd_ < 0) {
        ThrowCause(CFileException::invalidFile);
    }
}

LONG CFile::Seek(LONG offset, UINT from) {
    CheckOpen();
    int whence;
    switch (from) {
    case begin:
        whence = SEEK_SET;
        break;
    case current:
        whence = SEEK_CUR;
        break;
    case end:
        whence = SEEK_END;
        break;
    default:
        ThrowCause(CFileException::badSeek);
    }
    const off_t position = ::lseek(fd_, offset, whence);
    if (position < 0) {
        ThrowOsError(errno);
    }
    // The position itself is right whatever the size; only the report is limited to LONG.
    return position > INT32_MAX ? INT32_MAX : static_cast<LONG>(position);
}

LONG CFile::SeekToEnd() { return Seek(0, end); }

void CFile::WriteRaw(const char* bytes, std::size_t count) {
    CheckOpen();
    while (count > 0) {
        const ssize_t written = ::write(fd_, bytes, count);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            ThrowOsError(errno);
        }
        if (written == 0) {
            ThrowCause(CFileException::diskFull);
        }
        bytes += written;
        count -= static_cast<std::size_t>(written);
    }
}

std::size_t CFile::ReadRaw(char* bytes, std::size_t count) {
    CheckOpen();
    std::size_t total = 0;
    while (total < count) {
        const ssize_t got = ::read(fd_, bytes + total, count - total);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            ThrowOsError(errno);
        }
        if (got == 0) {
            break;
        }
        total += static_cast<std::size_t>(got);
    }
    return total;
}

void CFile::Write(const void* buffer, UINT count) {
    WriteRaw(static_cast<const char*>(buffer), count);
}

UINT CFile::Read(void* buffer, UINT count) {
    return static_cast<UINT>(ReadRaw(static_cast<char*>(buffer), count));
}

// Writes go straight to the system: there is no buffer of our own to flush.
void CFile::Flush() { CheckOpen(); }

void CFile::Close() {
    if (fd_ < 0) {
        return;
    }
    const int fd = fd_;
    fd_ = -1;  // closed whatever close reports, so the destructor never closes it again
    if (::close(fd) != 0 && errno != EINTR) {
        ThrowOsError(errno);
    }
}

void CFile::Abort() {
    if (fd_ >= 0) {
        CloseQuietly(fd_);
        fd_ = -1;
    }
}

CString CFile::GetFilePath() const { return path_; }

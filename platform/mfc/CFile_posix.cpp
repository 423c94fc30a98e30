// CFile over POSIX descriptors, with share modes as advisory locks.
#include "platform/mfc/afxfile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

namespace {

int AsFd(std::intptr_t handle) { return static_cast<int>(handle); }

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

// The cause of an open that failed with ENOENT: Windows tells a missing file (fileNotFound)
// from a missing directory on its path (badPath), and so does this.
int MissingCause(const char* fileName) {
    const char* slash = std::strrchr(fileName, '/');
    if (slash == nullptr) {
        return CFileException::fileNotFound;  // in the current directory, which exists
    }
    const std::string parent(fileName, slash == fileName ? 1 : static_cast<std::size_t>(slash - fileName));
    struct stat info;
    return ::stat(parent.c_str(), &info) == 0 && S_ISDIR(info.st_mode) ? CFileException::fileNotFound
                                                                        : CFileException::badPath;
}

}  // namespace

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
        return fail(osError == ENOENT ? MissingCause(fileName)
                                      : CFileException::OsErrorToException(osError),
                    osError);
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

    handle_ = fd;
    path_ = fileName;
    return TRUE;
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
    const off_t position = ::lseek(AsFd(handle_), offset, whence);
    if (position < 0) {
        ThrowOsError(errno);
    }
    // The position itself is right whatever the size; only the report is limited to LONG.
    return position > INT32_MAX ? INT32_MAX : static_cast<LONG>(position);
}

void CFile::WriteRaw(const char* bytes, std::size_t count) {
    CheckOpen();
    while (count > 0) {
        const ssize_t written = ::write(AsFd(handle_), bytes, count);
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
        const ssize_t got = ::read(AsFd(handle_), bytes + total, count - total);
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

void CFile::Close() {
    if (handle_ < 0) {
        return;
    }
    const int fd = AsFd(handle_);
    handle_ = -1;  // closed whatever close reports, so the destructor never closes it again
    if (::close(fd) != 0 && errno != EINTR) {
        ThrowOsError(errno);
    }
}

void CFile::Abort() {
    if (handle_ >= 0) {
        CloseQuietly(AsFd(handle_));
        handle_ = -1;
    }
}


int CFileException::OsErrorToException(LONG osError) {
    switch (osError) {
    case 0:
        return none;
    case ENOENT:
        return fileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
        return badPath;
    case EMFILE:
    case ENFILE:
        return tooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY:
        return accessDenied;
    case EBADF:
        return invalidFile;
    case ESPIPE:
    case EINVAL:
    case EOVERFLOW:
        return badSeek;
    case EIO:
        return hardIO;
    case EWOULDBLOCK:
        return sharingViolation;
    case ENOLCK:
        return lockViolation;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return diskFull;
    default:
        return genericException;
    }
}

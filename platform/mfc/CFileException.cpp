#include "platform/mfc/afxfile.h"

#include <cerrno>
#include <cstdio>

CFileException::CFileException(int cause, LONG osError, LPCSTR fileName)
    : m_cause(cause), m_lOsError(osError), m_strFileName(fileName) {}

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

BOOL CFileException::GetErrorMessage(LPSTR buffer, UINT maxLength, UINT* helpContext) const {
    static const char* const kCauses[] = {
        "No error occurred", "An unspecified error occurred", "The file could not be found",
        "The path is invalid", "Too many files are open", "Access was denied",
        "The file handle is invalid", "The current directory cannot be removed",
        "The directory is full", "The seek failed", "A hardware I/O error occurred",
        "A sharing violation occurred", "A locking violation occurred", "The disk is full",
        "The end of the file was reached"};
    if (helpContext != nullptr) {
        *helpContext = 0;
    }
    if (buffer == nullptr || maxLength == 0) {
        return FALSE;
    }
    const int count = static_cast<int>(sizeof kCauses / sizeof kCauses[0]);
    const char* cause = m_cause >= 0 && m_cause < count ? kCauses[m_cause] : kCauses[1];
    if (m_strFileName.IsEmpty()) {
        std::snprintf(buffer, maxLength, "%s.", cause);
    } else {
        std::snprintf(buffer, maxLength, "%s: %s.", cause, m_strFileName.GetString());
    }
    return TRUE;
}

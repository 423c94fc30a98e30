// CFile over Win32 file handles, with the system's share modes.
#include "platform/mfc/afxfile.h"

#include <climits>

namespace {

HANDLE AsHandle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

DWORD Access(UINT flags) {
    switch (flags & 0x3) {
    case CFile::modeWrite:
        return GENERIC_WRITE;
    case CFile::modeReadWrite:
        return GENERIC_READ | GENERIC_WRITE;
    default:
        return GENERIC_READ;
    }
}

// What other opens of the file this one allows: none without share flags, as in MFC.
DWORD ShareMode(UINT flags) {
    switch (flags & 0x70) {
    case CFile::shareDenyWrite:
        return FILE_SHARE_READ;
    case CFile::shareDenyRead:
        return FILE_SHARE_WRITE;
    case CFile::shareDenyNone:
        return FILE_SHARE_READ | FILE_SHARE_WRITE;
    default:  // shareCompat, shareExclusive
        return 0;
    }
}

DWORD Disposition(UINT flags) {
    if (flags & CFile::modeCreate) {
        return (flags & CFile::modeNoTruncate) ? OPEN_ALWAYS : CREATE_ALWAYS;
    }
    return OPEN_EXISTING;
}

}  // namespace

BOOL CFile::OpenFile(LPCSTR fileName, UINT openFlags, CFileException* error) {
    Abort();
    auto fail = [&](DWORD osError) {
        if (error != nullptr) {
            error->m_cause = CFileException::OsErrorToException(static_cast<LONG>(osError));
            error->m_lOsError = static_cast<LONG>(osError);
            error->m_strFileName = fileName;
        }
        return FALSE;
    };
    if (fileName == nullptr || *fileName == '\0') {
        return fail(ERROR_PATH_NOT_FOUND);
    }
    // Not inheritable (no security attributes): a child program never holds the file. The
    // system refuses a directory here (access denied) and a conflicting share mode (sharing
    // violation) before it truncates anything.
    const HANDLE file = ::CreateFileA(fileName, Access(openFlags), ShareMode(openFlags), nullptr,
                                      Disposition(openFlags), FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return fail(::GetLastError());
    }
    handle_ = reinterpret_cast<std::intptr_t>(file);
    path_ = fileName;
    return TRUE;
}

LONG CFile::Seek(LONG offset, UINT from) {
    CheckOpen();
    DWORD method;
    switch (from) {
    case begin:
        method = FILE_BEGIN;
        break;
    case current:
        method = FILE_CURRENT;
        break;
    case end:
        method = FILE_END;
        break;
    default:
        ThrowCause(CFileException::badSeek);
    }
    LARGE_INTEGER distance;
    distance.QuadPart = offset;
    LARGE_INTEGER position;
    if (!::SetFilePointerEx(AsHandle(handle_), distance, &position, method)) {
        ThrowOsError(static_cast<int>(::GetLastError()));
    }
    // The position itself is right whatever the size; only the report is limited to LONG.
    return position.QuadPart > INT32_MAX ? INT32_MAX : static_cast<LONG>(position.QuadPart);
}

void CFile::WriteRaw(const char* bytes, std::size_t count) {
    CheckOpen();
    while (count > 0) {
        const DWORD chunk = count > 0x40000000u ? 0x40000000u : static_cast<DWORD>(count);
        DWORD written = 0;
        if (!::WriteFile(AsHandle(handle_), bytes, chunk, &written, nullptr)) {
            ThrowOsError(static_cast<int>(::GetLastError()));
        }
        if (written == 0) {
            ThrowCause(CFileException::diskFull);
        }
        bytes += written;
        count -= written;
    }
}

std::size_t CFile::ReadRaw(char* bytes, std::size_t count) {
    CheckOpen();
    std::size_t total = 0;
    while (total < count) {
        const std::size_t left = count - total;
        const DWORD chunk = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
        DWORD got = 0;
        if (!::ReadFile(AsHandle(handle_), bytes + total, chunk, &got, nullptr)) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_HANDLE_EOF || error == ERROR_BROKEN_PIPE) {
                break;
            }
            ThrowOsError(static_cast<int>(error));
        }
        if (got == 0) {
            break;
        }
        total += got;
    }
    return total;
}

void CFile::Close() {
    if (handle_ == -1) {
        return;
    }
    const HANDLE file = AsHandle(handle_);
    handle_ = -1;  // closed whatever CloseHandle reports, so the destructor never closes it again
    if (!::CloseHandle(file)) {
        ThrowOsError(static_cast<int>(::GetLastError()));
    }
}

void CFile::Abort() {
    if (handle_ != -1) {
        ::CloseHandle(AsHandle(handle_));
        handle_ = -1;
    }
}


int CFileException::OsErrorToException(LONG osError) {
    switch (osError) {
    case NO_ERROR:
        return none;
    case ERROR_FILE_NOT_FOUND:
        return fileNotFound;
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_DIRECTORY:
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_BAD_NETPATH:
        return badPath;
    case ERROR_TOO_MANY_OPEN_FILES:
        return tooManyOpenFiles;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
    case ERROR_NETWORK_ACCESS_DENIED:
        return accessDenied;
    case ERROR_INVALID_HANDLE:
        return invalidFile;
    case ERROR_CURRENT_DIRECTORY:
        return removeCurrentDir;
    case ERROR_CANNOT_MAKE:
        return directoryFull;
    case ERROR_SEEK:
    case ERROR_NEGATIVE_SEEK:
    case ERROR_SEEK_ON_DEVICE:
        return badSeek;
    case ERROR_CRC:
    case ERROR_WRITE_FAULT:
    case ERROR_READ_FAULT:
    case ERROR_GEN_FAILURE:
    case ERROR_NOT_READY:
    case ERROR_IO_DEVICE:
        return hardIO;
    case ERROR_SHARING_VIOLATION:
    case ERROR_SHARING_BUFFER_EXCEEDED:
        return sharingViolation;
    case ERROR_LOCK_VIOLATION:
    case ERROR_DRIVE_LOCKED:
    case ERROR_LOCK_FAILED:
        return lockViolation;
    case ERROR_HANDLE_DISK_FULL:
    case ERROR_DISK_FULL:
        return diskFull;
    case ERROR_HANDLE_EOF:
        return endOfFile;
    default:
        return genericException;
    }
}

#include "platform/mfc/afxfile.h"

#include <cstdio>

CFileException::CFileException(int cause, LONG osError, LPCSTR fileName)
    : m_cause(cause), m_lOsError(osError), m_strFileName(fileName) {}

BOOL CFileException::GetErrorMessage(LPSTR buffer, UINT maxLength, UINT* helpContext) const {
    static const char* const kCauses[] = {
        "No error occurred", "An unspecified error occurred", "The file could not be found",
        "The path is invalid", "Too many files are open", "Access was denied",
        "The file handle is invalid", "The current directory cannot be removed",
        "The directory is full", "The seek failed", "A hardware I/O error occurred",
        "A sharing violation occurred", "A locking violation occurred", nullptr,
        "The disk is full", "The end of the file was reached"};
    if (helpContext != nullptr) {
        *helpContext = 0;
    }
    if (buffer == nullptr || maxLength == 0) {
        return FALSE;
    }
    const int count = static_cast<int>(sizeof kCauses / sizeof kCauses[0]);
    const char* cause = m_cause >= 0 && m_cause < count && kCauses[m_cause] != nullptr
                            ? kCauses[m_cause]
                            : kCauses[genericException];
    if (m_strFileName.IsEmpty()) {
        std::snprintf(buffer, maxLength, "%s.", cause);
    } else {
        std::snprintf(buffer, maxLength, "%s: %s.", cause, m_strFileName.GetString());
    }
    return TRUE;
}

#include "diag/QmSocketLog.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "platform/kernel32/kernel32.h"
#include "platform/mfc/afxfile.h"
#include "platform/mfc/afxtime.h"

namespace {

// Serialises the calls of this process. The file is opened exclusively, so two calls that
// overlapped would otherwise make one of them lose its line.
std::mutex g_logLock;

constexpr UINT kOpenFlags = CFile::modeCreate | CFile::modeNoTruncate | CFile::modeWrite;
static_assert(kOpenFlags == 0x3001, "create, keep the content, write only, no share flags");

// Another program may hold the file for a moment (a viewer that reads it, another process of the
// application that logs): an open refused for sharing is tried again for about a fifth of a
// second before the line is lost like any other file error's.
constexpr int kOpenAttempts = 20;
constexpr DWORD kRetryPauseMs = 10;

}  // namespace

extern "C" void QmSocketLog(const char* format, ...) {
    // Taken before the clock is read, so that the lines of one file are in time order.
    std::lock_guard<std::mutex> guard(g_logLock);

    // One reading for the prefix and the file name: both name the same day, also at midnight.
    const CTime now = CTime::GetCurrentTime();
    const CString timeOfDay = now.Format("%H:%M:%S");
    const CString date = now.Format("%Y-%m-%d");
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "[%s %s] ", date.GetString(), timeOfDay.GetString());
    const CString day = now.Format("%Y%m%d");
    char fileName[MAX_PATH];
    std::snprintf(fileName, sizeof fileName, "Socket%s.log", day.GetString());

    CString message;
    va_list args;
    va_start(args, format);
    message.FormatV(format, args);
    va_end(args);
    CString line;
    line.Format("%s%s\n", prefix, message.GetString());

    // File errors lose the line silently; the file object closes on every path.
    for (int attempt = 1;; ++attempt) {
        try {
            CStdioFile file(fileName, kOpenFlags);
            file.Seek(0, CFile::end);
            file.WriteString(line);
            file.Close();
            return;
        } catch (CFileException* error) {
            const bool held = error->m_cause == CFileException::sharingViolation;
            error->Delete();
            if (!held || attempt == kOpenAttempts) {
                return;
            }
        }
        Sleep(kRetryPauseMs);
    }
}

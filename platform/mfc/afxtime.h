// CTime: calendar time in whole seconds, formatted in local time. A value type: every member
// may be called from any thread.
#pragma once

#include <ctime>

#include "platform/mfc/afxstr.h"

class TALVEN_API CTime {
public:
    CTime();                              // 0
    CTime(std::time_t t);
    CTime(int year, int month, int day, int hour, int minute, int second); // local time

    // The current calendar time. MFC exports this as CTime::GetTickCount; the Win32 headers
    // make GetCurrentTime() a macro for that name, hence the two spellings (the second one only
    // where no such macro exists).
    static CTime GetTickCount();
#ifndef GetCurrentTime
    static CTime GetCurrentTime() { return GetTickCount(); }
#endif

    std::time_t GetTime() const;
    int GetYear() const;
    int GetMonth() const;
    int GetDay() const;
    int GetHour() const;
    int GetMinute() const;
    int GetSecond() const;

    // strftime conventions, local time.
    CString Format(LPCSTR format) const;

    friend bool operator==(CTime a, CTime b) { return a.time_ == b.time_; }
    friend bool operator!=(CTime a, CTime b) { return a.time_ != b.time_; }

private:
    std::time_t time_;
};

#include "platform/mfc/afxtime.h"

#include <atomic>
#include <string>

#include "platform/mfc/CTimeClock.h"
#include "platform/mfc/LocalTime.h"

namespace talven::mfc {

std::atomic<CurrentTimeFn> g_currentTimeClock{nullptr};

}  // namespace talven::mfc

CTime::CTime() : time_(0) {}
CTime::CTime(std::time_t t) : time_(t) {}

CTime::CTime(int year, int month, int day, int hour, int minute, int second) {
    std::tm fields{};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    fields.tm_isdst = -1;  // let the time zone rules decide
    time_ = std::mktime(&fields);
}

CTime CTime::GetTickCount() {
    const talven::mfc::CurrentTimeFn clock =
        talven::mfc::g_currentTimeClock.load(std::memory_order_acquire);
    return CTime(clock != nullptr ? clock() : std::time(nullptr));
}

std::time_t CTime::GetTime() const { return time_; }
int CTime::GetYear() const { return talven::mfc::LocalTime(time_).tm_year + 1900; }
int CTime::GetMonth() const { return talven::mfc::LocalTime(time_).tm_mon + 1; }
int CTime::GetDay() const { return talven::mfc::LocalTime(time_).tm_mday; }
int CTime::GetHour() const { return talven::mfc::LocalTime(time_).tm_hour; }
int CTime::GetMinute() const { return talven::mfc::LocalTime(time_).tm_min; }
int CTime::GetSecond() const { return talven::mfc::LocalTime(time_).tm_sec; }

CString CTime::Format(LPCSTR format) const {
    if (format == nullptr || *format == '\0') {
        return CString();
    }
    const std::tm fields = talven::mfc::LocalTime(time_);
    // strftime gives 0 both for a buffer too small and for an empty result, so the buffer
    // grows a bounded number of times before the result counts as empty.
    std::string buffer;
    for (std::size_t size = 128; size <= 64 * 1024; size *= 4) {
        buffer.resize(size);
        const std::size_t length = std::strftime(&buffer[0], size, format, &fields);
        if (length > 0) {
            return CString(buffer.data(), static_cast<int>(length));
        }
    }
    return CString();
}

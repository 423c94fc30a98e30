// Internal: the C runtime's conversion of calendar time to local time, in its thread-safe form.
#pragma once

#include <ctime>

namespace talven::mfc {

// The local-time fields of t. Any thread.
std::tm LocalTime(std::time_t t);

}  // namespace talven::mfc

#include "platform/mfc/LocalTime.h"

namespace talven::mfc {

std::tm LocalTime(std::time_t t) {
    std::tm fields{};
    localtime_s(&fields, &t);
    return fields;
}

}  // namespace talven::mfc

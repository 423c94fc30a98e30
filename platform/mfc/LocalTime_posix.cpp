#include "platform/mfc/LocalTime.h"

namespace talven::mfc {

std::tm LocalTime(std::time_t t) {
    std::tm fields{};
    localtime_r(&t, &fields);
    return fields;
}

}  // namespace talven::mfc

// Runs the server side and the client side of a scenario on two threads of their own and
// passes on the first exception either side threw.
#pragma once

#include <functional>

namespace bench {

void RunOnTwoThreads(const std::function<void()>& server, const std::function<void()>& client);

}  // namespace bench

#include "TwoThreads.h"

#include <exception>
#include <thread>

namespace bench {

void RunOnTwoThreads(const std::function<void()>& server, const std::function<void()>& client) {
    std::exception_ptr serverError;
    std::exception_ptr clientError;
    std::thread serverThread([&] {
        try {
            server();
        } catch (...) {
            serverError = std::current_exception();
        }
    });
    std::thread clientThread([&] {
        try {
            client();
        } catch (...) {
            clientError = std::current_exception();
        }
    });
    clientThread.join();
    serverThread.join();
    if (clientError) {
        std::rethrow_exception(clientError);
    }
    if (serverError) {
        std::rethrow_exception(serverError);
    }
}

}  // namespace bench

// The library's end of the socket seam (seam_hooks.h): no seam until a test program links one.
#include "platform/winsock/seam_hooks.h"

namespace talven::platform::sockets::seam {

std::atomic<Seam*> g_seam{nullptr};
std::atomic<bool> g_installed{false};

}  // namespace talven::platform::sockets::seam

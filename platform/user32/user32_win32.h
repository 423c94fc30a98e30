// USER32 on Windows: windows, message queues, timers and wsprintfA are the system's, declared
// by <windows.h>.
#pragma once

#include "platform/kernel32/kernel32.h"

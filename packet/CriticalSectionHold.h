// Holds a critical section for one scope, so that it is left on every way out, exceptions
// included, before any handler runs.
#pragma once

#include "platform/kernel32/kernel32.h"

class CriticalSectionHold {
public:
    explicit CriticalSectionHold(CRITICAL_SECTION& cs) : cs_(cs) { EnterCriticalSection(&cs_); }
    ~CriticalSectionHold() { LeaveCriticalSection(&cs_); }
    CriticalSectionHold(const CriticalSectionHold&) = delete;
    CriticalSectionHold& operator=(const CriticalSectionHold&) = delete;

private:
    CRITICAL_SECTION& cs_;
};

// Holds a critical section for one scope, so that it is left on every way out, exceptions
// included, before any handler runs. CriticalSectionTry does the same for a lock it could
// take without waiting, and holds nothing otherwise.
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

class CriticalSectionTry {
public:
    explicit CriticalSectionTry(CRITICAL_SECTION& cs) : cs_(cs), held_(TryEnterCriticalSection(&cs_) != FALSE) {}
    ~CriticalSectionTry() {
        if (held_) {
            LeaveCriticalSection(&cs_);
        }
    }
    CriticalSectionTry(const CriticalSectionTry&) = delete;
    CriticalSectionTry& operator=(const CriticalSectionTry&) = delete;
    bool held() const { return held_; }

private:
    CRITICAL_SECTION& cs_;
    bool held_;
};

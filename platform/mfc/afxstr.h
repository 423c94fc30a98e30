// CString: MFC's growable 8-bit string, the subset the library and its applications use.
// Not synchronised: one object is used by one thread at a time.
#pragma once

#include <cstdarg>
#include <string>

#include "platform/wintypes.h"

class TALVEN_API CString {
public:
    CString();
    CString(const CString& other);
    CString(LPCSTR text);                 // NULL gives an empty string
    CString(LPCSTR text, int length);
    ~CString();

    CString& operator=(const CString& other);
    CString& operator=(LPCSTR text);      // NULL empties
    CString& operator+=(const CString& other);
    CString& operator+=(LPCSTR text);
    CString& operator+=(char ch);

    int GetLength() const;
    BOOL IsEmpty() const;
    void Empty();
    operator LPCSTR() const;              // always NUL-terminated; valid until the next change
    LPCSTR GetString() const;
    char GetAt(int index) const;
    char operator[](int index) const;

    // Loads string `id` from the resource chain (every registered module, newest first).
    // Returns FALSE and leaves the string empty when no module has it; string ids have 16 bits,
    // so a larger id has none. Any thread.
    BOOL LoadString(UINT id);

    // printf conventions, no length limit. The arguments may be this string's own text.
    // A null format gives an empty string.
    void Format(LPCSTR format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;
    void FormatV(LPCSTR format, va_list args);

    int Compare(LPCSTR text) const;       // strcmp order
    friend bool operator==(const CString& a, const CString& b) { return a.str_ == b.str_; }
    friend bool operator==(const CString& a, LPCSTR b) { return a.Compare(b) == 0; }
    friend bool operator!=(const CString& a, const CString& b) { return !(a == b); }
    friend bool operator!=(const CString& a, LPCSTR b) { return !(a == b); }

private:
    std::string str_;
};

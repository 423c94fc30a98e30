#include "platform/mfc/afxstr.h"

#include <cstdio>
#include <cstring>

#include "platform/mfc/ResourceChain.h"

CString::CString() = default;
CString::CString(const CString& other) = default;
CString::CString(LPCSTR text) : str_(text != nullptr ? text : "") {}

CString::CString(LPCSTR text, int length) {
    if (text != nullptr && length > 0) {
        str_.assign(text, static_cast<std::size_t>(length));
    }
}

CString::~CString() = default;
CString& CString::operator=(const CString& other) = default;

CString& CString::operator=(LPCSTR text) {
    // assign() copes with text pointing into str_ itself.
    if (text == nullptr) {
        str_.clear();
    } else {
        str_.assign(text);
    }
    return *this;
}

CString& CString::operator+=(const CString& other) {
    str_ += other.str_;
    return *this;
}

CString& CString::operator+=(LPCSTR text) {
    if (text != nullptr) {
        str_.append(text);
    }
    return *this;
}

CString& CString::operator+=(char ch) {
    str_ += ch;
    return *this;
}

int CString::GetLength() const { return static_cast<int>(str_.size()); }
BOOL CString::IsEmpty() const { return str_.empty() ? TRUE : FALSE; }
void CString::Empty() { str_.clear(); }
CString::operator LPCSTR() const { return str_.c_str(); }
LPCSTR CString::GetString() const { return str_.c_str(); }
char CString::GetAt(int index) const { return str_.at(static_cast<std::size_t>(index)); }
char CString::operator[](int index) const { return GetAt(index); }

BOOL CString::LoadString(UINT id) {
    // A string resource's id has 16 bits; Windows would read a larger one as its low word,
    // which names another string.
    if (id <= 0xFFFFu && talven::mfc::ResourceChain::Instance().LoadString(id, str_)) {
        return TRUE;
    }
    str_.clear();
    return FALSE;
}

void CString::Format(LPCSTR format, ...) {
    va_list args;
    va_start(args, format);
    FormatV(format, args);
    va_end(args);
}

void CString::FormatV(LPCSTR format, va_list args) {
    if (format == nullptr) {
        str_.clear();
        return;
    }
    // Measure first, then print into a string of exactly that size. The result is built apart
    // from str_ because an argument may be this string's own text.
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length < 0) {
        str_.clear();  // an encoding error in the arguments: nothing sensible to keep
        return;
    }
    std::string result(static_cast<std::size_t>(length) + 1, '\0');
    va_list print;
    va_copy(print, args);
    std::vsnprintf(&result[0], result.size(), format, print);
    va_end(print);
    result.resize(static_cast<std::size_t>(length));
    str_.swap(result);
}

int CString::Compare(LPCSTR text) const {
    return std::strcmp(str_.c_str(), text != nullptr ? text : "");
}

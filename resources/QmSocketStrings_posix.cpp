// The library's string table where the system has no resources: registered under the neutral
// language and US English with the same texts, as the resource script stores it on Windows.
#include "platform/mfc/afxdll.h"
#include "socket/QmModule.h"

namespace {

const AFX_STRING_RESOURCE kErrorTexts[] = {
#define TALVEN_ERROR_TEXT(id, text) {id, text},
#include "resources/QmSocketStrings.inc"
#undef TALVEN_ERROR_TEXT
};
constexpr int kErrorTextCount = static_cast<int>(sizeof kErrorTexts / sizeof kErrorTexts[0]);
static_assert(kErrorTextCount == 51, "the error string table has 51 entries");

// Linking the table into the library registers it, before the library's entry point runs.
struct StringTableRegistration {
    StringTableRegistration() {
        AfxRegisterModuleStringTable(QmGetModuleInstance(), LANG_NEUTRAL, kErrorTexts,
                                     kErrorTextCount);
        AfxRegisterModuleStringTable(QmGetModuleInstance(), LANG_ENGLISH_US, kErrorTexts,
                                     kErrorTextCount);
    }
};
const StringTableRegistration g_registration;

}  // namespace

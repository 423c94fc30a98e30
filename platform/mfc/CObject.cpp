// CObject: the root of MFC's class tree; here only its virtual destructor is used.
#include "platform/mfc/afxwin.h"

CObject::~CObject() = default;

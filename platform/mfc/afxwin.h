// CWnd with MFC's message maps, and window-class registration.
//
// Threads: a CWnd's window belongs to the thread that called CreateEx; its handlers, and
// DestroyWindow, run on that thread. The object is deleted on that thread.
#pragma once

#include "platform/mfc/afxexcept.h"
#include "platform/user32/user32.h"

class CWnd;
typedef LRESULT (CWnd::*AFX_PMSG_LWL)(WPARAM, LPARAM);

// One entry of a message map: a message number and its (WPARAM, LPARAM) -> LRESULT handler.
// A zero entry (nMessage 0, pfn null) ends the map.
struct AFX_MSGMAP_ENTRY {
    UINT nMessage;
    UINT nCode;
    UINT nID;
    UINT nLastID;
    UINT_PTR nSig;
    AFX_PMSG_LWL pfn;
};

struct AFX_MSGMAP {
    const AFX_MSGMAP* (*pfnGetBaseMap)();
    const AFX_MSGMAP_ENTRY* lpEntries;
};

enum AfxSig { AfxSig_end = 0, AfxSig_lwl = 1 };

// The map of a class is built inside its PASCAL_GetThisMessageMap, as MFC does, so that the
// entries can name the class's handlers as ThisClass::handler (with the class's own access).
#define DECLARE_MESSAGE_MAP()                                 \
protected:                                                    \
    static const AFX_MSGMAP* PASCAL_GetThisMessageMap();      \
    const AFX_MSGMAP* GetMessageMap() const override;

#define BEGIN_MESSAGE_MAP(theClass, baseClass)                                     \
    const AFX_MSGMAP* theClass::GetMessageMap() const {                            \
        return PASCAL_GetThisMessageMap();                                         \
    }                                                                              \
    const AFX_MSGMAP* theClass::PASCAL_GetThisMessageMap() {                       \
        typedef theClass ThisClass;                                                \
        typedef baseClass TheBaseClass;                                            \
        static const AFX_MSGMAP_ENTRY _messageEntries[] = {

#define ON_MESSAGE(message, memberFxn)                                             \
    {static_cast<UINT>(message), 0, 0, 0, AfxSig_lwl,                              \
     static_cast<AFX_PMSG_LWL>(&ThisClass::memberFxn)},

#define END_MESSAGE_MAP()                                                          \
            {0, 0, 0, 0, AfxSig_end, nullptr}};                                    \
        static const AFX_MSGMAP messageMap = {&TheBaseClass::PASCAL_GetThisMessageMap, \
                                              &_messageEntries[0]};                \
        return &messageMap;                                                        \
    }

class TALVEN_API CObject {
public:
    virtual ~CObject();
protected:
    CObject() = default;
};

class TALVEN_API CCmdTarget : public CObject {};

class TALVEN_API CWnd : public CCmdTarget {
public:
    CWnd();
    // Destroys the window if it still exists (owner thread only).
    ~CWnd() override;
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;

    // Creates the window on the calling thread and attaches it to this object; nonzero on
    // success. className comes from AfxRegisterWndClass (or any registered class).
    virtual BOOL CreateEx(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style,
                          int x, int y, int width, int height, HWND parent, HMENU idOrMenu,
                          LPVOID param = nullptr);
    virtual BOOL DestroyWindow();
    HWND GetSafeHwnd() const { return m_hWnd; }
    operator HWND() const { return m_hWnd; }

    BOOL PostMessage(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0);
    LRESULT SendMessage(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0);

    // The CWnd attached to hwnd, or NULL. Any thread; the pointer is only safe to use on the
    // window's thread.
    static CWnd* FromHandlePermanent(HWND hwnd);

    HWND m_hWnd;

protected:
    // Routes a message: this class's message map and its bases, then DefWindowProc.
    virtual LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam);
    virtual LRESULT DefWindowProc(UINT msg, WPARAM wParam, LPARAM lParam);
    // Called after WM_NCDESTROY, once the window is gone and m_hWnd is NULL. Default: nothing.
    virtual void PostNcDestroy();

    static const AFX_MSGMAP* PASCAL_GetThisMessageMap();
    virtual const AFX_MSGMAP* GetMessageMap() const;

private:
    static LRESULT CALLBACK AfxWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    friend LRESULT AfxCallWndProc(CWnd* wnd, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
};

// Registers (once) and returns a window class whose procedure routes to CWnd objects.
// The name stays valid while the process lives. Any thread.
TALVEN_API LPCSTR AfxRegisterWndClass(UINT classStyle, HCURSOR cursor = nullptr,
                                      HBRUSH background = nullptr, HICON icon = nullptr);

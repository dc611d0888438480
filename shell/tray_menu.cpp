#include "tray_menu.h"

#include "resource.h"

HMENU g_hPopupMenu = NULL;

int ShowTrayMenu(HWND window)
{
    POINT cursor;
    GetCursorPos(&cursor);
    g_hPopupMenu = CreatePopupMenu();
    InsertMenuW(g_hPopupMenu, static_cast<UINT>(-1), MF_BYPOSITION, ID_CMD_RESTART_AGENT, L"重啟安控元件");
    InsertMenuW(g_hPopupMenu, static_cast<UINT>(-1), MF_BYPOSITION, ID_CMD_STOP_AGENT, L"停止安控元件");
    InsertMenuW(g_hPopupMenu, static_cast<UINT>(-1), MF_BYPOSITION | MF_SEPARATOR, 0, NULL);
    InsertMenuW(g_hPopupMenu, static_cast<UINT>(-1), MF_BYPOSITION, ID_CMD_ABOUT, L"關於");
    InsertMenuW(g_hPopupMenu, static_cast<UINT>(-1), MF_BYPOSITION, ID_CMD_CLOSE_TRAY, L"關閉工作列快捷鍵");
    // Without the foreground the menu would not close when the user clicks elsewhere.
    SetForegroundWindow(window);
    TrackPopupMenu(g_hPopupMenu, TPM_BOTTOMALIGN, cursor.x, cursor.y, 0, window, NULL);
    // A notification icon's menu needs a message after it, or the next one may
    // show and vanish at once; WM_NULL does nothing else.
    PostMessageW(window, WM_NULL, 0, 0);
    // One menu per press: destroying it keeps a long-running monitor from leaking menus.
    DestroyMenu(g_hPopupMenu);
    return 1;
}

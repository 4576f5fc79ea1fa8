// Modal dialogs from the module's dialog templates, over GTK 3. Main thread only.
//
// The dialog is a GTK window laid out from the template (dialog units of the template's
// font turned into pixels), modal over its owner and centred on it for DS_CENTER.
// Buttons post WM_COMMAND with their id and BN_CLICKED; Return presses the default
// push button; Escape posts WM_COMMAND IDCANCEL; the close box posts WM_CLOSE, which
// the dialog's default handling turns into WM_COMMAND IDCANCEL.
#pragma once

#include "platform/win32/win_window.h"

// Makes the dialog, sends it WM_INITDIALOG (wParam: the first control that takes the
// focus, lParam: param), shows it and runs a message loop (every window's messages
// and timers, the owner's too) until EndDialog. A WM_QUIT met on the way ends the
// dialog and is left for the outer loop. Returns EndDialog's result; -1 when there is
// no such template.
INT_PTR DialogBoxParamW(HINSTANCE instance, LPCWSTR template_name, HWND owner, DLGPROC proc,
                        LPARAM param);
// Ends the modal loop of that dialog with this result once the current message is done.
BOOL EndDialog(HWND dialog, INT_PTR result);

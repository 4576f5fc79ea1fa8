// Message boxes and the shell's "open", the Windows spellings over GTK 3 and GIO.
// Main thread only (the thread that runs, or will run, the GTK main loop).
//
// Test seam: environment variables, read at each call, let a test (or a script
// driving the real program) answer the boxes and see what would be opened, with no
// desktop:
//   ZANDORO_TEST_MESSAGEBOX=IDOK[,IDNO...]
//       MessageBoxW shows nothing and returns the answer instead. Each box takes the
//       first answer off the list (the variable is rewritten, so programs started
//       later get the rest); the last one answers every box after it. Each box
//       answered so writes one line on standard output, flushed:
//         MessageBoxW icon=error buttons=OK,Cancel caption="..." text="..." answer=IDOK
//       (icon: error, warning, information, question or none). An answer that is
//       not one of the box's buttons is refused on standard error and gives 0.
//   ZANDORO_TEST_MESSAGEBOX_SHOW=1 (with the above)
//       The real dialog is shown, and the seam clicks the answer's button once the
//       dialog is on screen; the line then describes the dialog as GTK built and
//       shows it (icon=none where no icon is drawn, such as a missing icon theme).
//       Needs a display.
//   ZANDORO_TEST_OPEN_LOG=path
//       ShellExecuteW appends what it would open, and a newline, to that file
//       instead of starting the browser.
#pragma once

#include "platform/win32/win_types.h"

// ShellExecuteW results of 32 and below are errors, as on Windows.
#define ERROR_FILE_NOT_FOUND 2
#define SE_ERR_NOASSOC 31

// A modal message box: the text, the caption (null: "Error"), the buttons MB_OK,
// MB_OKCANCEL, MB_YESNO or MB_YESNOCANCEL (anything else shows OK) and an icon
// (MB_ICONERROR, MB_ICONWARNING, MB_ICONINFORMATION, MB_ICONQUESTION or none).
// Returns the button chosen (IDOK, IDCANCEL, IDYES, IDNO); closing the box counts as
// Cancel, or as No when there is no Cancel, or as OK for a lone OK. Returns 0 when no
// box can be shown (no display); the text then goes to standard error.
// A box with an owner is its dialog, centred on it; without one it is centred on the
// screen.
INT MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);

// Runs `verb` on `file`: only "open" (or a null verb) is known, and opens the URL or
// path with the desktop's default application for it (a web page: the browser).
// params and dir are not used; show is accepted and left to the application.
// Returns a value above 32 once the application was started; ERROR_FILE_NOT_FOUND
// for a null file, SE_ERR_NOASSOC for another verb or when nothing could open it
// (the reason on standard error). Does not wait for the application.
HINSTANCE ShellExecuteW(HWND owner, LPCWSTR verb, LPCWSTR file, LPCWSTR params, LPCWSTR dir,
                        INT show);

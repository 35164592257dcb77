// Shared pieces of the Win32 windows: DPI scaling, pixel layouts, the UI
// font, text conversion and the application's hidden owner window.
#pragma once

// Before any header of the platform layer: it undefines the macros of
// windows.h that would rename the platform's members.
#include "platform/win32/win32_util.h"
#include <commctrl.h>

#include <string>
#include <vector>

namespace vix::app::win32 {

std::wstring Widen(const std::string& text);
std::string Narrow(const std::wstring& text);

// A control's rectangle in 96-DPI pixels of the window's client area.
struct TPlace {
  int Id, X, Y, W, H;
};

UINT WindowDpi(HWND hwnd);
int Scale(int pixels, UINT dpi);
// Places the listed controls, sets the UI font (scaled) on every child and,
// when clientW is positive, sizes the window to that client area.
void Layout(HWND hwnd, const std::vector<TPlace>& places, int clientW, int clientH, UINT dpi);
// The outer size of a window whose client area has the given 96-DPI size.
SIZE OuterSize(HWND hwnd, int clientW, int clientH, UINT dpi);
// Handles WM_DPICHANGED: moves to the suggested rectangle and lays out again.
void OnDpiChanged(HWND hwnd, WPARAM wParam, LPARAM lParam, const std::vector<TPlace>& places,
                  int clientW, int clientH);

std::string WindowText(HWND hwnd);
void SetText(HWND hwnd, const std::string& text);

HICON AppIcon(int size);
void SetWindowIcons(HWND hwnd);

// The application's hidden owner window (the one that owns the forms).
HWND AppWindow();

// A dialog made from its template, run in a nested message loop until it
// ends with a result (the modal show of a modeless window, so that the
// owner changes of the drop window can happen around it).
int RunModal(HWND dialog, int& result);

}  // namespace vix::app::win32

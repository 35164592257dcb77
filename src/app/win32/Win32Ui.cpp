#include "app/win32/Win32Ui.h"

#include "app/AppUtils.h"
#include "app/win32/resource.h"

namespace vix::app::win32 {

std::wstring Widen(const std::string& text) {
  if (text.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                    nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

std::string Narrow(const std::wstring& text) {
  if (text.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                    nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

namespace {

// The DPI functions of newer systems, found at run time so that the program
// still starts where they are missing.
template <typename F>
F User32(const char* name) {
  return reinterpret_cast<F>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), name)));
}

HFONT UiFont(UINT dpi) {
  static HFONT font = nullptr;
  static UINT fontDpi = 0;
  if (font && fontDpi == dpi) return font;
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  using ForDpi = BOOL(WINAPI*)(UINT, UINT, PVOID, UINT, UINT);
  static const auto forDpi = User32<ForDpi>("SystemParametersInfoForDpi");
  if (!(forDpi && forDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, dpi))) {
    SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
    const UINT systemDpi = WindowDpi(nullptr);
    metrics.lfMessageFont.lfHeight = MulDiv(metrics.lfMessageFont.lfHeight,
                                            static_cast<int>(dpi), static_cast<int>(systemDpi));
  }
  if (font) DeleteObject(font);
  font = CreateFontIndirectW(&metrics.lfMessageFont);
  fontDpi = dpi;
  return font;
}

BOOL CALLBACK SetFontProc(HWND child, LPARAM font) {
  SendMessageW(child, WM_SETFONT, static_cast<WPARAM>(font), TRUE);
  return TRUE;
}

LRESULT CALLBACK AppWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcW(hwnd, msg, wParam, lParam);
}

}  // namespace

UINT WindowDpi(HWND hwnd) {
  using ForWindow = UINT(WINAPI*)(HWND);
  static const auto forWindow = User32<ForWindow>("GetDpiForWindow");
  if (hwnd && forWindow) {
    const UINT dpi = forWindow(hwnd);
    if (dpi) return dpi;
  }
  HDC dc = GetDC(nullptr);
  const int dpi = GetDeviceCaps(dc, LOGPIXELSY);
  ReleaseDC(nullptr, dc);
  return dpi > 0 ? static_cast<UINT>(dpi) : 96;
}

int Scale(int pixels, UINT dpi) { return MulDiv(pixels, static_cast<int>(dpi), 96); }

SIZE OuterSize(HWND hwnd, int clientW, int clientH, UINT dpi) {
  RECT r{0, 0, Scale(clientW, dpi), Scale(clientH, dpi)};
  const DWORD style = static_cast<DWORD>(GetWindowLongW(hwnd, GWL_STYLE));
  const DWORD exStyle = static_cast<DWORD>(GetWindowLongW(hwnd, GWL_EXSTYLE));
  using AdjustForDpi = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
  static const auto adjust = User32<AdjustForDpi>("AdjustWindowRectExForDpi");
  if (!(adjust && adjust(&r, style, FALSE, exStyle, dpi))) AdjustWindowRectEx(&r, style, FALSE, exStyle);
  return SIZE{r.right - r.left, r.bottom - r.top};
}

void Layout(HWND hwnd, const std::vector<TPlace>& places, int clientW, int clientH, UINT dpi) {
  if (clientW > 0) {
    const SIZE outer = OuterSize(hwnd, clientW, clientH, dpi);
    SetWindowPos(hwnd, nullptr, 0, 0, outer.cx, outer.cy,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  for (const TPlace& p : places) {
    if (HWND c = GetDlgItem(hwnd, p.Id))
      SetWindowPos(c, nullptr, Scale(p.X, dpi), Scale(p.Y, dpi), Scale(p.W, dpi),
                   Scale(p.H, dpi), SWP_NOZORDER | SWP_NOACTIVATE);
  }
  EnumChildWindows(hwnd, SetFontProc, reinterpret_cast<LPARAM>(UiFont(dpi)));
}

void OnDpiChanged(HWND hwnd, WPARAM wParam, LPARAM lParam, const std::vector<TPlace>& places,
                  int clientW, int clientH) {
  const RECT* r = reinterpret_cast<const RECT*>(lParam);
  SetWindowPos(hwnd, nullptr, r->left, r->top, r->right - r->left, r->bottom - r->top,
               SWP_NOZORDER | SWP_NOACTIVATE);
  Layout(hwnd, places, clientW, clientH, HIWORD(wParam));
}

std::string WindowText(HWND hwnd) {
  const int n = GetWindowTextLengthW(hwnd);
  std::wstring text(static_cast<size_t>(n) + 1, L'\0');
  GetWindowTextW(hwnd, text.data(), n + 1);
  text.resize(static_cast<size_t>(n));
  return Narrow(text);
}

void SetText(HWND hwnd, const std::string& text) {
  if (hwnd) SetWindowTextW(hwnd, Widen(text).c_str());
}

HICON AppIcon(int size) {
  return static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_VIX),
                                       IMAGE_ICON, size, size, LR_SHARED));
}

void SetWindowIcons(HWND hwnd) {
  SendMessageW(hwnd, WM_SETICON, ICON_BIG,
               reinterpret_cast<LPARAM>(AppIcon(GetSystemMetrics(SM_CXICON))));
  SendMessageW(hwnd, WM_SETICON, ICON_SMALL,
               reinterpret_cast<LPARAM>(AppIcon(GetSystemMetrics(SM_CXSMICON))));
}

HWND AppWindow() {
  static HWND app = [] {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = AppWndProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hIcon = AppIcon(GetSystemMetrics(SM_CXICON));
    wc.lpszClassName = L"TApplication.PelmoranVix";
    RegisterClassExW(&wc);
    return CreateWindowExW(WS_EX_TOOLWINDOW, wc.lpszClassName, Widen(kAppTitle).c_str(),
                           WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, wc.hInstance, nullptr);
  }();
  return app;
}

int RunModal(HWND dialog, int& result) {
  result = 0;
  MSG msg;
  while (result == 0 && IsWindow(dialog)) {
    const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got <= 0) {
      // A quit request ends the modal show too; it is passed on to the
      // outer loop.
      if (got == 0) PostQuitMessage(static_cast<int>(msg.wParam));
      break;
    }
    if (!IsDialogMessageW(dialog, &msg)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  return result;
}

}  // namespace vix::app::win32

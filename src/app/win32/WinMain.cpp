// PLM_VIX.exe: the program entry, the platform's UI hooks as Win32 message
// boxes and message pumping, and the top-level error handler.
#include "app/win32/Forms.h"

#include <exception>

#include "app/AppUtils.h"
#include "app/Main.h"

namespace vix::app::win32 {
namespace {

void SetDpiAwareness() {
  HMODULE user32 = GetModuleHandleW(L"user32.dll");
  using Context = BOOL(WINAPI*)(HANDLE);
  if (auto set = reinterpret_cast<Context>(
          reinterpret_cast<void*>(GetProcAddress(user32, "SetProcessDpiAwarenessContext")))) {
    // Per monitor, version 2; then version 1.
    if (set(reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-4))) ||
        set(reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-3))))
      return;
  }
  SetProcessDPIAware();
}

HWND MessageOwner(UINT& flags) {
  HWND owner = GetActiveWindow();
  if (!owner) flags |= MB_TASKMODAL;
  return owner;
}

int Box(const std::string& text, const std::string& caption, UINT flags) {
  HWND owner = MessageOwner(flags);
  return MessageBoxW(owner, Widen(text).c_str(), Widen(caption.empty() ? kAppTitle : caption).c_str(),
                     flags);
}

// Lets the windows work while a writer runs on this thread: the progress
// window repaints and its button and close box are handled.
void Pump() {
  static DWORD last = 0;
  const DWORD now = GetTickCount();
  if (now - last < 10) return;
  last = now;
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(msg.wParam));
      break;
    }
    HWND root = msg.hwnd ? GetAncestor(msg.hwnd, GA_ROOT) : nullptr;
    if (root && IsDialogMessageW(root, &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

void InstallUiHooks() {
  platform::ApplicationTitle() = kAppTitle;
  auto& ui = platform::Ui();
  ui.PumpMessages = Pump;
  ui.MessageBox = [](const std::string& text, const std::string& caption, platform::MsgIcon icon) {
    UINT flags = MB_OK;
    switch (icon) {
      case platform::MsgIcon::Stop: flags |= MB_ICONSTOP; break;
      case platform::MsgIcon::Warning: flags |= MB_ICONWARNING; break;
      case platform::MsgIcon::Information: flags |= MB_ICONINFORMATION; break;
      case platform::MsgIcon::Question: flags |= MB_ICONQUESTION; break;
      case platform::MsgIcon::None: break;
    }
    Box(text, caption, flags);
  };
  ui.AskYesNo = [](const std::string& text, const std::string& caption) {
    return Box(text, caption, MB_YESNO | MB_ICONSTOP) == IDYES ? platform::Answer::Yes
                                                              : platform::Answer::No;
  };
  ui.AskRetryCancel = [](const std::string& text, const std::string& caption) {
    return Box(text, caption, MB_RETRYCANCEL | MB_ICONWARNING) == IDRETRY
               ? platform::Answer::Retry
               : platform::Answer::Cancel;
  };
}

void MessageLoop(HWND dialog) {
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (IsDialogMessageW(dialog, &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

int Run() {
  TfrmCompress form;
  CompressWindow window(form);
  if (!window.Handle()) return 1;
  const std::string settings = SettingsFileName();
  form.SettingsPath = settings;
  const SIZE size = window.Size();
  form.Bounds.Width = size.cx;
  form.Bounds.Height = size.cy;
  form.ScreenWidth = GetSystemMetrics(SM_CXSCREEN);
  form.ScreenHeight = GetSystemMetrics(SM_CYSCREEN);
  form.ShowDropWindow = [&](std::vector<std::string>& dropped, TRect& drop) {
    return ShowDropWindow(dropped, drop, settings);
  };
  form.RunOpenDialog = [&](std::string& chosen) { return window.RunOpenDialog(chosen); };

  // The settings are saved on every way out, also after a fatal error.
  struct Destroy {
    TfrmCompress& form;
    ~Destroy() { form.FormDestroy(); }
  } destroy{form};

  std::vector<std::string> args = platform::ProgramArguments(0, nullptr);
  if (!args.empty()) args.erase(args.begin());
  const bool dropped = args.empty();
  form.FormCreate(args);
  if (Application().Terminated || !Application().ShowMainForm) return 0;

  window.FillTabs();
  window.FromForm();
  HWND hwnd = window.Handle();
  SetWindowPos(hwnd, nullptr, form.Bounds.Left, form.Bounds.Top, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  ShowWindow(hwnd, SW_SHOW);
  if (dropped) {
    SetForegroundWindow(hwnd);
    SetActiveWindow(hwnd);
  }
  MessageLoop(hwnd);
  window.RethrowError();
  return 0;
}

}  // namespace
}  // namespace vix::app::win32

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  using namespace vix::app::win32;
  SetDpiAwareness();
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_TAB_CLASSES | ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES |
                                           ICC_BAR_CLASSES | ICC_WIN95_CLASSES};
  InitCommonControlsEx(&icc);
  InstallUiHooks();
  try {
    return Run();
  } catch (const std::exception& e) {
    Box(e.what(), vix::app::kAppTitle, MB_OK | MB_ICONSTOP);
  } catch (...) {
    Box("予期しないエラーが発生しました。", vix::app::kAppTitle, MB_OK | MB_ICONSTOP);
  }
  return 1;
}

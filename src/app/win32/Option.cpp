#include "app/win32/Option.h"

#include <shellapi.h>
#include <shlobj.h>

#include <memory>
#include <vector>

#include "app/AppUtils.h"
#include "app/win32/ClassesRegistry.h"
#include "app/win32/resource.h"

namespace vix::app::win32 {

namespace {

const std::wstring kClassKey = std::wstring(L"CLSID\\") + Widen(kShellExtClsid);
constexpr wchar_t kLinkAddress[] = L"https://pelmoran.example/vix/";

std::wstring FolderOf(const std::wstring& path) {
  const size_t slash = path.find_last_of(L'\\');
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

// ---------------------------------------------------------------------------
// The dialog

constexpr int kClientW = 307, kClientH = 223;
const std::vector<TPlace> kPlaces = {
    {IDC_OP_PageControl1, 4, 4, 299, 180}, {IDC_OP_CheckBox1, 20, 36, 270, 20},
    {IDC_OP_CheckBox2, 20, 60, 270, 20},   {IDC_OP_CheckBox3, 20, 84, 270, 20},
    {IDC_OP_Image1, 20, 40, 32, 32},       {IDC_OP_Product, 64, 36, 230, 34},
    {IDC_OP_Version, 64, 74, 230, 18},     {IDC_OP_Link, 64, 100, 230, 18},
    {IDC_OP_Button1, 146, 192, 75, 25},    {IDC_OP_Button2, 228, 192, 75, 25},
};
const int kPage1[] = {IDC_OP_CheckBox1, IDC_OP_CheckBox2, IDC_OP_CheckBox3};
const int kPage2[] = {IDC_OP_Image1, IDC_OP_Product, IDC_OP_Version, IDC_OP_Link};

struct OptionState {
  TOptionBoxes Boxes;
  HFONT Product = nullptr;
  HFONT Link = nullptr;
  enum { kNormal, kHot, kPressed } LinkLook = kNormal;
  ~OptionState() {
    if (Product) DeleteObject(Product);
    if (Link) DeleteObject(Link);
  }
};

bool OnPage(int id) {
  for (int page : kPage1)
    if (page == id) return true;
  for (int page : kPage2)
    if (page == id) return true;
  return false;
}

void ShowPage(HWND hwnd, int page) {
  for (int id : kPage1) ShowWindow(GetDlgItem(hwnd, id), page == 0 ? SW_SHOW : SW_HIDE);
  for (int id : kPage2) ShowWindow(GetDlgItem(hwnd, id), page == 1 ? SW_SHOW : SW_HIDE);
  TabCtrl_SetCurSel(GetDlgItem(hwnd, IDC_OP_PageControl1), page);
}

void MakeFonts(HWND hwnd, OptionState& state) {
  LOGFONTW lf{};
  GetObjectW(reinterpret_cast<HFONT>(SendMessageW(hwnd, WM_GETFONT, 0, 0)), sizeof lf, &lf);
  LOGFONTW link = lf;
  link.lfUnderline = TRUE;
  if (state.Link) DeleteObject(state.Link);
  state.Link = CreateFontIndirectW(&link);
  lf.lfHeight = -MulDiv(22, static_cast<int>(WindowDpi(hwnd)), 96);
  lf.lfWeight = FW_BOLD;
  lf.lfPitchAndFamily = VARIABLE_PITCH | FF_ROMAN;
  lstrcpynW(lf.lfFaceName, L"Times New Roman", LF_FACESIZE);
  if (state.Product) DeleteObject(state.Product);
  state.Product = CreateFontIndirectW(&lf);
  SendDlgItemMessageW(hwnd, IDC_OP_Product, WM_SETFONT, reinterpret_cast<WPARAM>(state.Product),
                      TRUE);
  SendDlgItemMessageW(hwnd, IDC_OP_Link, WM_SETFONT, reinterpret_cast<WPARAM>(state.Link), TRUE);
}

void SetLinkLook(HWND hwnd, OptionState& state, decltype(OptionState::LinkLook) look) {
  if (state.LinkLook == look) return;
  state.LinkLook = look;
  InvalidateRect(GetDlgItem(hwnd, IDC_OP_Link), nullptr, TRUE);
}

// The browser may take its time; the dialog stays responsive meanwhile.
DWORD WINAPI OpenLink(LPVOID) {
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  ShellExecuteW(GetDesktopWindow(), L"open", kLinkAddress, nullptr, nullptr, SW_SHOWNORMAL);
  CoUninitialize();
  return 0;
}

INT_PTR CALLBACK OptionProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* state = reinterpret_cast<OptionState*>(GetWindowLongPtrW(hwnd, DWLP_USER));
  switch (msg) {
    case WM_INITDIALOG: {
      SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
      state = reinterpret_cast<OptionState*>(lParam);
      SetWindowIcons(hwnd);
      Layout(hwnd, kPlaces, kClientW, kClientH, WindowDpi(hwnd));
      MakeFonts(hwnd, *state);
      SetWindowTextW(GetDlgItem(hwnd, IDC_OP_Link), kLinkAddress);
      HWND tabs = GetDlgItem(hwnd, IDC_OP_PageControl1);
      const wchar_t* titles[] = {L"オプション", L"バージョン情報"};
      for (int i = 0; i < 2; ++i) {
        TCITEMW item{};
        item.mask = TCIF_TEXT;
        item.pszText = const_cast<wchar_t*>(titles[i]);
        TabCtrl_InsertItem(tabs, i, &item);
      }
      SendDlgItemMessageW(hwnd, IDC_OP_Image1, STM_SETICON, reinterpret_cast<WPARAM>(AppIcon(32)),
                          0);
      CheckDlgButton(hwnd, IDC_OP_CheckBox1, state->Boxes.CheckBox1 ? BST_CHECKED : BST_UNCHECKED);
      CheckDlgButton(hwnd, IDC_OP_CheckBox2, state->Boxes.CheckBox2 ? BST_CHECKED : BST_UNCHECKED);
      CheckDlgButton(hwnd, IDC_OP_CheckBox3, state->Boxes.CheckBox3 ? BST_CHECKED : BST_UNCHECKED);
      ShowPage(hwnd, 0);
      // In the middle of the screen.
      RECT r;
      GetWindowRect(hwnd, &r);
      const int w = r.right - r.left, h = r.bottom - r.top;
      SetWindowPos(hwnd, nullptr, (GetSystemMetrics(SM_CXSCREEN) - w) / 2,
                   (GetSystemMetrics(SM_CYSCREEN) - h) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
      return TRUE;
    }
    case WM_DPICHANGED:
      OnDpiChanged(hwnd, wParam, lParam, kPlaces, kClientW, kClientH);
      MakeFonts(hwnd, *state);
      return TRUE;
    case WM_NOTIFY: {
      const auto* hdr = reinterpret_cast<const NMHDR*>(lParam);
      if (hdr->idFrom == IDC_OP_PageControl1 && hdr->code == TCN_SELCHANGE)
        ShowPage(hwnd, TabCtrl_GetCurSel(hdr->hwndFrom));
      return FALSE;
    }
    case WM_SETCURSOR:
      if (reinterpret_cast<HWND>(wParam) == GetDlgItem(hwnd, IDC_OP_Link)) {
        const UINT mouse = HIWORD(lParam);
        SetLinkLook(hwnd, *state,
                    mouse == WM_LBUTTONDOWN || (state->LinkLook == OptionState::kPressed &&
                                                (GetKeyState(VK_LBUTTON) & 0x8000))
                        ? OptionState::kPressed
                        : OptionState::kHot);
        SetCursor(LoadCursorW(nullptr, IDC_HAND));
        SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, TRUE);
        return TRUE;
      }
      SetLinkLook(hwnd, *state, OptionState::kNormal);
      return FALSE;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN: {
      // The controls of both pages stand on the tab's body, which is the
      // window colour, not on the dialog's face (as on the compress dialog).
      const HWND control = reinterpret_cast<HWND>(lParam);
      if (!OnPage(GetDlgCtrlID(control))) return FALSE;
      HDC dc = reinterpret_cast<HDC>(wParam);
      SetBkColor(dc, GetSysColor(COLOR_WINDOW));
      SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
      if (control == GetDlgItem(hwnd, IDC_OP_Link)) {
        const COLORREF colour = state->LinkLook == OptionState::kPressed ? RGB(255, 255, 0)
                                : state->LinkLook == OptionState::kHot   ? RGB(255, 0, 0)
                                                                         : RGB(0, 0, 255);
        SetTextColor(dc, colour);
        SetBkMode(dc, TRANSPARENT);
      }
      return reinterpret_cast<INT_PTR>(GetSysColorBrush(COLOR_WINDOW));
    }
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDC_OP_Link:
          if (HIWORD(wParam) == STN_CLICKED) {
            SetLinkLook(hwnd, *state, OptionState::kHot);
            HANDLE thread = CreateThread(nullptr, 0, OpenLink, nullptr, 0, nullptr);
            if (thread) CloseHandle(thread);
          }
          return TRUE;
        case IDC_OP_Button1:
          state->Boxes.CheckBox1 = IsDlgButtonChecked(hwnd, IDC_OP_CheckBox1) == BST_CHECKED;
          state->Boxes.CheckBox2 = IsDlgButtonChecked(hwnd, IDC_OP_CheckBox2) == BST_CHECKED;
          state->Boxes.CheckBox3 = IsDlgButtonChecked(hwnd, IDC_OP_CheckBox3) == BST_CHECKED;
          EndDialog(hwnd, IDOK);
          return TRUE;
        case IDC_OP_Button2:  // also Esc and the close box
          EndDialog(hwnd, IDCANCEL);
          return TRUE;
      }
      return FALSE;
  }
  return FALSE;
}

}  // namespace

std::string ProgramDir() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
    if (n == 0) return std::string();
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.resize(path.size() * 2);
  }
  return Narrow(FolderOf(path));
}

std::string TWin32ShellIntegration::ProgramPath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
    if (n < path.size()) {
      path.resize(n);
      return Narrow(path);
    }
    path.resize(path.size() * 2);
  }
}

// Either classes key counts: Windows merges both into HKEY_CLASSES_ROOT
// (Wine's root shows only the machine's).
bool TWin32ShellIntegration::IsShellExtensionRegistered() {
  for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, (L"Software\\Classes\\" + kClassKey).c_str(), 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
      continue;
    RegCloseKey(key);
    return true;
  }
  return false;
}

// The 32-bit handler beside the program, and on 64-bit Windows the 64-bit
// one in the 64-bit view when it is there too: Explorer is then a 64-bit
// process and loads only that one.
bool TWin32ShellIntegration::RegisterShellExtension() {
  const std::string dir = ProgramDir();
  std::string dll64;
  if (Is64BitWindows() &&
      GetFileAttributesW(Widen(dir + kShellExt64Name).c_str()) != INVALID_FILE_ATTRIBUTES)
    dll64 = dir + kShellExt64Name;
  TWin32ClassesRegistry registry;
  return RegisterHandler(registry, dir + "VIXSHEXT.DLL", dll64) != TRegistered::Nowhere;
}

void TWin32ShellIntegration::UnregisterShellExtension() {
  TWin32ClassesRegistry registry;
  UnregisterHandler(registry, Is64BitWindows());
}

bool TWin32ShellIntegration::ShortcutExists(const std::string& name, int csidl) {
  const std::string file = StripTrailingDelimiter(SpecialFolderDir(csidl)) + "\\" + name + ".lnk";
  return GetFileAttributesW(Widen(file).c_str()) != INVALID_FILE_ATTRIBUTES;
}

int TWin32ShellIntegration::UpdateShortcut(const std::string& target, const std::string& name,
                                           int csidl, bool create) {
  IShellLinkW* link = nullptr;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                              reinterpret_cast<void**>(&link))))
    return 0;
  std::unique_ptr<IShellLinkW, void (*)(IShellLinkW*)> linkOwner(
      link, [](IShellLinkW* p) { p->Release(); });
  IPersistFile* file = nullptr;
  if (FAILED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) return 0;
  std::unique_ptr<IPersistFile, void (*)(IPersistFile*)> fileOwner(
      file, [](IPersistFile* p) { p->Release(); });
  PIDLIST_ABSOLUTE pidl = nullptr;
  if (FAILED(SHGetSpecialFolderLocation(nullptr, csidl, &pidl)) || !pidl) return 0;
  std::unique_ptr<ITEMIDLIST_ABSOLUTE, void (*)(PIDLIST_ABSOLUTE)> pidlOwner(
      pidl, [](PIDLIST_ABSOLUTE p) { CoTaskMemFree(p); });
  wchar_t folder[MAX_PATH] = {};
  if (!SHGetPathFromIDListW(pidl, folder)) return 0;
  const std::wstring wideTarget = Widen(target);
  link->SetPath(wideTarget.c_str());
  link->SetWorkingDirectory(FolderOf(wideTarget).c_str());
  std::wstring path = folder;
  if (!path.empty() && path.back() == L'\\') path.pop_back();
  path += L"\\" + Widen(name) + L".lnk";
  if (create)
    file->Save(path.c_str(), FALSE);
  else
    DeleteFileW(path.c_str());
  return 0;
}

void RunOptionDialog(HWND owner) {
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  TWin32ShellIntegration shell;
  OptionState state;
  state.Boxes = ReadOptionBoxes(shell);
  const INT_PTR result = DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_OPTION),
                                         owner, OptionProc, reinterpret_cast<LPARAM>(&state));
  if (result == IDOK) {
    const std::string message = ApplyOptionBoxes(shell, state.Boxes);
    if (!message.empty())
      MessageBoxW(owner, Widen(message).c_str(), L"Pelmoran Vix", MB_OK | MB_ICONWARNING);
  }
  if (SUCCEEDED(com)) CoUninitialize();
}

}  // namespace vix::app::win32

// The three windows of PLM_VIX.exe bound to the forms of src/app: the drop
// window, the compress dialog and the progress window.
#include "app/win32/Forms.h"

#include <shellapi.h>
#include <commdlg.h>

#include <exception>
#include <utility>

#include "app/win32/Option.h"
#include "app/win32/resource.h"

namespace vix::app::win32 {

namespace {

// ---------------------------------------------------------------------------
// The drop window

constexpr int kDropClientW = 178, kDropClientH = 105;
const std::vector<TPlace> kDropPlaces = {
    {IDC_DD_Panel1, 0, 0, 178, 78},
    {IDC_DD_Panel2, 4, 4, 170, 70},
    {IDC_DD_Button1, 4, 81, 67, 21},
    {IDC_DD_Button2, 77, 81, 97, 21},
};

struct DropState {
  std::vector<std::string> DroppedFiles;
  int Result = 0;
  HBRUSH Maroon = CreateSolidBrush(RGB(128, 0, 0));
  HFONT Bold = nullptr;
  ~DropState() {
    DeleteObject(Maroon);
    if (Bold) DeleteObject(Bold);
  }
};

// Every name as long as the shell holds it: the buffer is sized by the
// shell's own length query, so no name is cut.
std::vector<std::string> DroppedNames(HDROP drop) {
  std::vector<std::string> names;
  const UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
  for (UINT i = 0; i < count; ++i) {
    const UINT length = DragQueryFileW(drop, i, nullptr, 0);
    std::wstring name(static_cast<size_t>(length) + 1, L'\0');
    const UINT got = DragQueryFileW(drop, i, name.data(), length + 1);
    name.resize(got);
    names.push_back(Narrow(name));
  }
  return names;
}

void BoldPanelFont(HWND hwnd, DropState& state) {
  HWND panel = GetDlgItem(hwnd, IDC_DD_Panel2);
  LOGFONTW lf{};
  GetObjectW(reinterpret_cast<HFONT>(SendMessageW(panel, WM_GETFONT, 0, 0)), sizeof lf, &lf);
  lf.lfWeight = FW_BOLD;
  if (state.Bold) DeleteObject(state.Bold);
  state.Bold = CreateFontIndirectW(&lf);
  SendMessageW(panel, WM_SETFONT, reinterpret_cast<WPARAM>(state.Bold), TRUE);
}

// The maroon panel: white bold text, centred, on two lines when one is too
// narrow for it.
void DrawPanel(const DRAWITEMSTRUCT& item, const DropState& state) {
  HDC dc = item.hDC;
  RECT r = item.rcItem;
  FillRect(dc, &r, state.Maroon);
  const std::wstring text = Widen(WindowText(item.hwndItem));
  HGDIOBJ old = SelectObject(dc, state.Bold);
  SetTextColor(dc, RGB(255, 255, 255));
  SetBkMode(dc, TRANSPARENT);
  const int width = r.right - r.left - 4;
  std::vector<std::wstring> lines{text};
  SIZE size;
  GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
  if (size.cx > width) {
    int fit = 0;
    GetTextExtentExPointW(dc, text.c_str(), static_cast<int>(text.size()), width, &fit, nullptr,
                          &size);
    // Break after "を" when the first line can hold it: the phrase reads whole.
    const size_t particle = text.find(L'\u3092');
    const size_t cut = particle != std::wstring::npos && particle < static_cast<size_t>(fit)
                           ? particle + 1
                           : static_cast<size_t>(fit > 0 ? fit : 1);
    lines = {text.substr(0, cut), text.substr(cut)};
  }
  TEXTMETRICW tm;
  GetTextMetricsW(dc, &tm);
  const int lineHeight = tm.tmHeight + tm.tmExternalLeading;
  int y = r.top + (r.bottom - r.top - lineHeight * static_cast<int>(lines.size())) / 2;
  for (const auto& line : lines) {
    RECT lr{r.left, y, r.right, y + lineHeight};
    DrawTextW(dc, line.c_str(), static_cast<int>(line.size()), &lr,
              DT_CENTER | DT_SINGLELINE | DT_NOPREFIX);
    y += lineHeight;
  }
  SelectObject(dc, old);
}

INT_PTR CALLBACK DropProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* state = reinterpret_cast<DropState*>(GetWindowLongPtrW(hwnd, DWLP_USER));
  switch (msg) {
    case WM_INITDIALOG:
      SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
      state = reinterpret_cast<DropState*>(lParam);
      SetWindowIcons(hwnd);
      Layout(hwnd, kDropPlaces, kDropClientW, kDropClientH, WindowDpi(hwnd));
      BoldPanelFont(hwnd, *state);
      DragAcceptFiles(hwnd, TRUE);
      return TRUE;
    case WM_DPICHANGED:
      OnDpiChanged(hwnd, wParam, lParam, kDropPlaces, kDropClientW, kDropClientH);
      BoldPanelFont(hwnd, *state);
      return TRUE;
    case WM_DRAWITEM:
      if (wParam == IDC_DD_Panel2) {
        DrawPanel(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam), *state);
        return TRUE;
      }
      return FALSE;
    case WM_DROPFILES: {
      HDROP drop = reinterpret_cast<HDROP>(wParam);
      struct Finish {
        HDROP h;
        ~Finish() { DragFinish(h); }
      } finish{drop};
      const std::vector<std::string> names = DroppedNames(drop);
      state->DroppedFiles.insert(state->DroppedFiles.end(), names.begin(), names.end());
      state->Result = IDOK;
      return TRUE;
    }
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDC_DD_Button1:  // also Esc and the close box
          state->Result = IDCANCEL;
          return TRUE;
        case IDC_DD_Button2:
          RunOptionDialog(hwnd);
          return TRUE;
      }
      return FALSE;
  }
  return FALSE;
}

// ---------------------------------------------------------------------------
// The progress window

constexpr int kProgressClientW = 435, kProgressClientH = 94;
const std::vector<TPlace> kProgressPlaces = {
    {IDC_PR_Image1, 14, 16, 32, 32},        {IDC_PR_Label1, 60, 16, 366, 17},
    {IDC_PR_Label2, 60, 36, 366, 17},       {IDC_PR_ProgressBar1, 16, 64, 337, 17},
    {IDC_PR_Button1, 358, 63, 71, 20},
};

INT_PTR CALLBACK ProgressProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* form = reinterpret_cast<TfrmProgress*>(GetWindowLongPtrW(hwnd, DWLP_USER));
  switch (msg) {
    case WM_INITDIALOG:
      SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
      SetWindowIcons(hwnd);
      Layout(hwnd, kProgressPlaces, kProgressClientW, kProgressClientH, WindowDpi(hwnd));
      SendDlgItemMessageW(hwnd, IDC_PR_Image1, STM_SETICON, reinterpret_cast<WPARAM>(AppIcon(32)),
                          0);
      SendDlgItemMessageW(hwnd, IDC_PR_ProgressBar1, PBM_SETRANGE32, 0, 100);
      return TRUE;
    case WM_DPICHANGED:
      OnDpiChanged(hwnd, wParam, lParam, kProgressPlaces, kProgressClientW, kProgressClientH);
      return TRUE;
    case WM_CLOSE:  // the close box, the system menu and Alt+F4
      if (form) {
        bool canClose = true;
        form->FormCloseQuery(canClose);
      }
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDC_PR_Button1 && form) form->Button1Click();
      // Esc (IDCANCEL) does nothing.
      return TRUE;
  }
  return FALSE;
}

// ---------------------------------------------------------------------------
// The compress dialog

constexpr int kPageCount = 4;
const int kGroups[kPageCount] = {IDC_grpLHACompressMethod, IDC_grpZipDeflateType,
                                 IDC_grpCAB_CompressType, IDC_grpTAR_CompressType};
// Controls that belong to a page besides its radio group.
const std::vector<int> kPageExtras[kPageCount] = {
    {IDC_chkLZH_SFX},
    {IDC_chkZIP_Password, IDC_edtZIP_Password, IDC_chkZIP_ShowPassword, IDC_chkZIP_SFX},
    {},
    {}};

std::vector<TPlace> CompressPlaces() {
  std::vector<TPlace> p = {
      {IDC_lblArchiveFilename, 8, 12, 66, 17},
      {IDC_edtArchiveFilename, 76, 9, 246, 22},
      {IDC_btnSearchArchiveFile, 326, 8, 24, 24},
      {IDC_btnGoDeskTop, 354, 8, 24, 24},
      {IDC_PageControl1, 8, 38, 374, 128},
      {IDC_chkLZH_SFX, 196, 72, 180, 18},
      {IDC_chkZIP_Password, 196, 72, 180, 18},
      {IDC_edtZIP_Password, 214, 94, 158, 22},
      {IDC_chkZIP_ShowPassword, 214, 120, 158, 18},
      {IDC_chkZIP_SFX, 196, 142, 180, 18},
      {IDC_grpStoredDirNames, 8, 172, 232, 84},
      {IDC_chkVerify, 12, 260, 228, 18},
      {IDC_btnOK, 292, 196, 90, 26},
      {IDC_btnClose, 292, 228, 90, 26},
  };
  const int items[kPageCount] = {3, 4, 3, 2};
  for (int page = 0; page < kPageCount; ++page) {
    p.push_back({kGroups[page], 20, 66, 164, 24 + 18 * items[page]});
    for (int i = 0; i < items[page]; ++i) p.push_back({kGroups[page] + 1 + i, 32, 84 + 18 * i, 146, 18});
  }
  p.push_back({IDC_grpStoredDirNames + 1, 20, 192, 212, 18});
  p.push_back({IDC_grpStoredDirNames + 2, 20, 212, 212, 18});
  p.push_back({IDC_grpStoredDirNames + 3, 20, 232, 212, 18});
  return p;
}

}  // namespace

// ---------------------------------------------------------------------------

bool ShowDropWindow(std::vector<std::string>& dropped, TRect& bounds, const std::string& settings) {
  DropState state;
  HWND app = AppWindow();
  HWND hwnd = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_DRAGDROP), app,
                                 DropProc, reinterpret_cast<LPARAM>(&state));
  if (!hwnd) return false;
  struct Restore {
    HWND app, drop;
    ~Restore() {
      SetWindowLongPtrW(app, GWLP_HWNDPARENT, 0);
      SetWindowLongPtrW(drop, GWLP_HWNDPARENT, reinterpret_cast<LONG_PTR>(app));
      DestroyWindow(drop);
    }
  } restore{app, hwnd};

  RECT r;
  GetWindowRect(hwnd, &r);
  const int width = r.right - r.left, height = r.bottom - r.top;
  const int screenW = GetSystemMetrics(SM_CXSCREEN), screenH = GetSystemMetrics(SM_CYSCREEN);
  const TPoint pos = LoadPosition(settings, screenW, screenH, width, height);
  SetWindowPos(hwnd, nullptr, pos.X, pos.Y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);

  // Its own taskbar entry while it is shown: no owner, and the application
  // window owned by it.
  SetWindowLongPtrW(hwnd, GWLP_HWNDPARENT, 0);
  SetWindowLongPtrW(app, GWLP_HWNDPARENT, reinterpret_cast<LONG_PTR>(hwnd));
  ShowWindow(hwnd, SW_SHOW);
  SetForegroundWindow(hwnd);
  RunModal(hwnd, state.Result);

  GetWindowRect(hwnd, &r);
  bounds = {r.left, r.top, r.right - r.left, r.bottom - r.top};
  std::string reason;
  if (!SavePosition(settings, {r.left, r.top}, reason))
    AppMessageBox(settings + ": " + reason, MB_OK_ | MB_ICONSTOP_);
  if (state.Result != IDOK) return false;
  dropped = state.DroppedFiles;
  return true;
}

// ---------------------------------------------------------------------------

ProgressWindow::ProgressWindow(TfrmProgress& form, HWND owner) : form_(form) {
  hwnd_ = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_PROGRESS), owner,
                             ProgressProc, reinterpret_cast<LPARAM>(&form));
  form.OnChange = [this](const TfrmProgress& f) { Show(f); };
  RECT r;
  GetWindowRect(hwnd_, &r);
  const int w = r.right - r.left, h = r.bottom - r.top;
  SetWindowPos(hwnd_, nullptr, (GetSystemMetrics(SM_CXSCREEN) - w) / 2,
               (GetSystemMetrics(SM_CYSCREEN) - h) / 2, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

ProgressWindow::~ProgressWindow() {
  // The form may be gone already (the job frees it first).
  if (!hwnd_) return;
  SetWindowLongPtrW(hwnd_, DWLP_USER, 0);
  DestroyWindow(hwnd_);
}

void ProgressWindow::Show(const TfrmProgress& f) {
  if (!hwnd_) return;
  if (f.Label1 != shown1_) SetText(GetDlgItem(hwnd_, IDC_PR_Label1), shown1_ = f.Label1);
  if (f.Label2 != shown2_) SetText(GetDlgItem(hwnd_, IDC_PR_Label2), shown2_ = f.Label2);
  if (f.ProgressBar1 != bar_)
    SendDlgItemMessageW(hwnd_, IDC_PR_ProgressBar1, PBM_SETPOS, bar_ = f.ProgressBar1, 0);
}

// ---------------------------------------------------------------------------

CompressWindow::CompressWindow(TfrmCompress& form) : form_(form) {
  hwnd_ = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_COMPRESS),
                             AppWindow(), Proc, reinterpret_cast<LPARAM>(this));
}

CompressWindow::~CompressWindow() {
  if (hwnd_) DestroyWindow(hwnd_);
}

SIZE CompressWindow::Size() const {
  RECT r;
  GetWindowRect(hwnd_, &r);
  return SIZE{r.right - r.left, r.bottom - r.top};
}

INT_PTR CALLBACK CompressWindow::Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<CompressWindow*>(GetWindowLongPtrW(hwnd, DWLP_USER));
  if (msg == WM_INITDIALOG) {
    SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
    self = reinterpret_cast<CompressWindow*>(lParam);
    self->hwnd_ = hwnd;
  }
  if (!self) return FALSE;
  try {
    return self->Handle(msg, wParam, lParam);
  } catch (...) {
    // No exception may cross the system's frames: it is kept for the
    // application's top-level handler and the run ends.
    self->error_ = std::current_exception();
    PostQuitMessage(1);
    return TRUE;
  }
}

void CompressWindow::RethrowError() {
  if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
}

HWND CompressWindow::Item(int id) const { return GetDlgItem(hwnd_, id); }

bool CompressWindow::OnPage(int id) {
  for (int p = 0; p < kPageCount; ++p) {
    if (id >= kGroups[p] && id <= kGroups[p] + 4) return true;
    for (int extra : kPageExtras[p])
      if (id == extra) return true;
  }
  return false;
}

void CompressWindow::Init() {
  SetWindowIcons(hwnd_);
  const UINT dpi = WindowDpi(hwnd_);
  SetWindowPos(hwnd_, nullptr, 0, 0, Scale(form_.Bounds.Width, dpi), Scale(form_.Bounds.Height, dpi),
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  Layout(hwnd_, CompressPlaces(), 0, 0, dpi);
  // Under the pages in the Z order, so that they show through it.
  SetWindowPos(Item(IDC_PageControl1), HWND_BOTTOM, 0, 0, 0, 0,
               SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  tips_ = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP,
                          CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, hwnd_,
                          nullptr, GetModuleHandleW(nullptr), nullptr);
  const std::pair<int, const char*> hints[] = {{IDC_btnSearchArchiveFile, "書庫名を選択"},
                                               {IDC_btnGoDeskTop, "パスをデスクトップにする"}};
  for (const auto& [id, hint] : hints) {
    std::wstring text = Widen(hint);
    TOOLINFOW ti{};
    ti.cbSize = sizeof ti;
    ti.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    ti.hwnd = hwnd_;
    ti.uId = reinterpret_cast<UINT_PTR>(Item(id));
    ti.lpszText = text.data();
    SendMessageW(tips_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&ti));
  }
}

void CompressWindow::FillTabs() {
  HWND tab = Item(IDC_PageControl1);
  TabCtrl_DeleteAllItems(tab);
  tabPages_.clear();
  for (int page = 0; page < static_cast<int>(form_.PageControl1.Pages.size()); ++page) {
    const TTabSheet& sheet = form_.PageControl1.Pages[static_cast<size_t>(page)];
    if (!sheet.TabVisible) continue;
    std::wstring text = Widen(sheet.Caption);
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = text.data();
    SendMessageW(tab, TCM_INSERTITEMW, tabPages_.size(), reinterpret_cast<LPARAM>(&item));
    tabPages_.push_back(page);
  }
}

void CompressWindow::ShowPage(int page) {
  for (int p = 0; p < kPageCount; ++p) {
    const int show = p == page ? SW_SHOW : SW_HIDE;
    const TRadioGroup* groups[kPageCount] = {&form_.grpLHACompressMethod, &form_.grpZipDeflateType,
                                             &form_.grpCAB_CompressType,
                                             &form_.grpTAR_CompressType};
    ShowWindow(Item(kGroups[p]), show);
    for (size_t i = 0; i < groups[p]->Items.size(); ++i)
      ShowWindow(Item(kGroups[p] + 1 + static_cast<int>(i)), show);
    for (int id : kPageExtras[p]) ShowWindow(Item(id), show);
  }
  // The self-extractor boxes never show.
  ShowWindow(Item(IDC_chkZIP_SFX), SW_HIDE);
  ShowWindow(Item(IDC_chkLZH_SFX), SW_HIDE);
  // A page without a tab (TAR) is active with no tab selected.
  int tabIndex = -1;
  for (size_t i = 0; i < tabPages_.size(); ++i)
    if (tabPages_[i] == page) tabIndex = static_cast<int>(i);
  TabCtrl_SetCurSel(Item(IDC_PageControl1), tabIndex);
}

namespace {

void SetRadio(HWND hwnd, int group, const TRadioGroup& g) {
  for (size_t i = 0; i < g.Items.size(); ++i)
    CheckDlgButton(hwnd, group + 1 + static_cast<int>(i),
                   static_cast<int>(i) == g.ItemIndex ? BST_CHECKED : BST_UNCHECKED);
}

void GetRadio(HWND hwnd, int group, TRadioGroup& g) {
  for (size_t i = 0; i < g.Items.size(); ++i)
    if (IsDlgButtonChecked(hwnd, group + 1 + static_cast<int>(i)) == BST_CHECKED)
      g.ItemIndex = static_cast<int>(i);
}

void SetCheck(HWND hwnd, int id, const TCheckBox& c) {
  CheckDlgButton(hwnd, id, c.Checked ? BST_CHECKED : BST_UNCHECKED);
  EnableWindow(GetDlgItem(hwnd, id), c.Enabled);
}

}  // namespace

void CompressWindow::FromForm() {
  syncing_ = true;
  SetText(Item(IDC_edtArchiveFilename), form_.edtArchiveFilename.Text);
  if (form_.edtArchiveFilename.AllSelected)
    SendMessageW(Item(IDC_edtArchiveFilename), EM_SETSEL, 0, -1);
  SetRadio(hwnd_, IDC_grpLHACompressMethod, form_.grpLHACompressMethod);
  SetRadio(hwnd_, IDC_grpZipDeflateType, form_.grpZipDeflateType);
  SetRadio(hwnd_, IDC_grpCAB_CompressType, form_.grpCAB_CompressType);
  SetRadio(hwnd_, IDC_grpTAR_CompressType, form_.grpTAR_CompressType);
  SetRadio(hwnd_, IDC_grpStoredDirNames, form_.grpStoredDirNames);
  SetCheck(hwnd_, IDC_chkZIP_Password, form_.chkZIP_Password);
  SetCheck(hwnd_, IDC_chkZIP_ShowPassword, form_.chkZIP_ShowPassword);
  SetCheck(hwnd_, IDC_chkZIP_SFX, form_.chkZIP_SFX);
  SetCheck(hwnd_, IDC_chkLZH_SFX, form_.chkLZH_SFX);
  SetCheck(hwnd_, IDC_chkVerify, form_.chkVerify);
  HWND pw = Item(IDC_edtZIP_Password);
  SetText(pw, form_.edtZIP_Password.Text);
  EnableWindow(pw, form_.edtZIP_Password.Enabled);
  SendMessageW(pw, EM_SETPASSWORDCHAR, form_.edtZIP_Password.PasswordChar ? L'*' : 0, 0);
  InvalidateRect(pw, nullptr, TRUE);
  ShowPage(form_.PageControl1.ActivePageIndex);
  syncing_ = false;
}

void CompressWindow::ToForm() {
  form_.edtArchiveFilename.Text = WindowText(Item(IDC_edtArchiveFilename));
  GetRadio(hwnd_, IDC_grpLHACompressMethod, form_.grpLHACompressMethod);
  GetRadio(hwnd_, IDC_grpZipDeflateType, form_.grpZipDeflateType);
  GetRadio(hwnd_, IDC_grpCAB_CompressType, form_.grpCAB_CompressType);
  GetRadio(hwnd_, IDC_grpTAR_CompressType, form_.grpTAR_CompressType);
  GetRadio(hwnd_, IDC_grpStoredDirNames, form_.grpStoredDirNames);
  form_.chkZIP_Password.Checked = IsDlgButtonChecked(hwnd_, IDC_chkZIP_Password) == BST_CHECKED;
  form_.chkZIP_ShowPassword.Checked =
      IsDlgButtonChecked(hwnd_, IDC_chkZIP_ShowPassword) == BST_CHECKED;
  form_.edtZIP_Password.Text = WindowText(Item(IDC_edtZIP_Password));
  form_.chkVerify.Checked = IsDlgButtonChecked(hwnd_, IDC_chkVerify) == BST_CHECKED;
}

bool CompressWindow::RunOpenDialog(std::string& chosen) {
  std::wstring buffer(32768, L'\0');
  const std::wstring title = Widen("書庫ファイルの選択");
  std::wstring filter = Widen("書庫ファイル(*.lzh;*.zip;*.cab;*.tar;*.tgz)") + L'\0' +
                        L"*.lzh;*.zip;*.cab;*.tar;*.tgz" + L'\0' + L'\0';
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = hwnd_;
  ofn.lpstrFilter = filter.c_str();
  ofn.lpstrFile = buffer.data();
  ofn.nMaxFile = static_cast<DWORD>(buffer.size());
  ofn.lpstrTitle = title.c_str();
  ofn.Flags = OFN_HIDEREADONLY | OFN_ALLOWMULTISELECT | OFN_ENABLESIZING | OFN_EXPLORER;
  if (!GetOpenFileNameW(&ofn)) return false;
  // Several files: the folder, then the names, each ended by a NUL.
  const std::wstring first(buffer.c_str());
  const wchar_t* next = buffer.c_str() + first.size() + 1;
  if (*next) {
    std::wstring folder = first;
    if (!folder.empty() && folder.back() != L'\\') folder += L'\\';
    chosen = Narrow(folder + next);
  } else {
    chosen = Narrow(first);
  }
  return true;
}

INT_PTR CompressWindow::Handle(UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_INITDIALOG:
      Init();
      return TRUE;
    case WM_DPICHANGED: {
      const RECT* r = reinterpret_cast<const RECT*>(lParam);
      SetWindowPos(hwnd_, nullptr, r->left, r->top, r->right - r->left, r->bottom - r->top,
                   SWP_NOZORDER | SWP_NOACTIVATE);
      Layout(hwnd_, CompressPlaces(), 0, 0, HIWORD(wParam));
      return TRUE;
    }
    case WM_NOTIFY: {
      const auto* hdr = reinterpret_cast<const NMHDR*>(lParam);
      if (hdr->idFrom == IDC_PageControl1 && hdr->code == TCN_SELCHANGE) {
        const int tab = TabCtrl_GetCurSel(Item(IDC_PageControl1));
        if (tab >= 0 && tab < static_cast<int>(tabPages_.size())) {
          form_.PageControl1.ActivePageIndex = tabPages_[static_cast<size_t>(tab)];
          ShowPage(form_.PageControl1.ActivePageIndex);
        }
        return TRUE;
      }
      return FALSE;
    }
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
      // The controls of a page stand on the tab's body, not on the dialog.
      if (OnPage(GetDlgCtrlID(reinterpret_cast<HWND>(lParam)))) {
        HDC dc = reinterpret_cast<HDC>(wParam);
        SetBkColor(dc, GetSysColor(COLOR_WINDOW));
        SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
        return reinterpret_cast<INT_PTR>(GetSysColorBrush(COLOR_WINDOW));
      }
      return FALSE;
    case WM_CLOSE:
      Close();
      return TRUE;
    case WM_COMMAND:
      if (syncing_) return FALSE;
      return Command(LOWORD(wParam), HIWORD(wParam));
  }
  return FALSE;
}

void CompressWindow::Close() {
  ToForm();
  form_.btnCloseClick();
  QuitApplication();
  PostQuitMessage(0);
}

INT_PTR CompressWindow::Command(int id, int code) {
  switch (id) {
    case IDC_btnOK:
      ToForm();
      RunJob();
      return TRUE;
    case IDC_btnClose:
      Close();
      return TRUE;
    case IDC_btnSearchArchiveFile:
      ToForm();
      form_.btnSearchArchiveFileClick();
      FromForm();
      return TRUE;
    case IDC_btnGoDeskTop:
      ToForm();
      form_.btnGoDeskTopClick();
      FromForm();
      SetFocus(Item(IDC_edtArchiveFilename));
      return TRUE;
    case IDC_chkZIP_Password:
      if (code != BN_CLICKED) return FALSE;
      ToForm();
      form_.chkZIP_PasswordClick();
      FromForm();
      return TRUE;
    case IDC_chkZIP_ShowPassword:
      if (code != BN_CLICKED) return FALSE;
      ToForm();
      form_.chkZIP_ShowPasswordClick();
      FromForm();
      return TRUE;
  }
  return FALSE;
}

void CompressWindow::RunJob() {
  std::unique_ptr<ProgressWindow> progress;
  form_.BindProgress = [&](TfrmProgress& p) {
    progress = std::make_unique<ProgressWindow>(p, hwnd_);
    ShowWindow(hwnd_, SW_HIDE);
    ShowWindow(progress->Handle(), SW_SHOW);
    UpdateWindow(progress->Handle());
  };
  struct Unbind {
    TfrmCompress& form;
    ~Unbind() { form.BindProgress = nullptr; }
  } unbind{form_};
  form_.btnOKClick();
  // Whatever its outcome, the job was the run's last action.
  if (Application().Terminated) PostQuitMessage(0);
}

}  // namespace vix::app::win32

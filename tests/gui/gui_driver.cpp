// Drives PLM_VIX.exe as a user would: starts it, finds its windows and
// controls by their resource identifiers, clicks, types, drops files and
// answers its questions. One run per call; tests/gui/run_gui.py says what to
// do and checks the archives with independent readers.
//
//   gui_driver [options] EXE [-- ARG...]
//     --drop FILE        start without arguments and drop FILE (repeatable)
//     --esc              in the drop window: open the options and cancel
//                        them, then Esc
//     --options BOXES    in the drop window: open the options, set the three
//                        boxes to BOXES ("101": 1st and 3rd ticked), press ＯＫ
//                        (or キャンセル with --options-cancel), then Esc
//     --expect-options BOXES  the boxes as the options dialog opens
//     --page N           pick page N by its tab (0 LZH, 1 ZIP, 2 CAB)
//     --method I         click item I of the page's radio group
//     --paths I          click item I of "パス名の扱い"
//     --password TEXT    tick the password box and type TEXT
//     --verify           tick "書き込み後に検査する(&T)"
//     --names yes|no     the name check's question must come (once), naming
//                        every --expect-named text; answer はい or いいえ.
//                        Without it any Yes/No question fails the run.
//     --expect-named TEXT   a line the name question must hold (repeatable)
//     --name TEXT        type TEXT as the archive name
//     --expect-name TEXT the proposed archive name must be TEXT
//     --expect-page N    the page shown at start must be N
//     --cancel           press キャンセル, answer いいえ, then close the window
//                        (close box) and answer はい
//     --expect-quit      the program must end without showing the dialog
//     --expect-exit N    the program's exit code must be N (default 0)
//     --open NAME        choose NAME in the archive-file chooser (a path the
//                        program's folder view shows as typed)
//     --shots DIR        screenshots: DIR/NAME.req holds the window's
//                        rectangle; wait for DIR/NAME.done
//   Prints "ok ..." lines and one "FAIL ..." line on the first failure;
//   the exit code is 0 when everything held.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/win32/resource.h"

namespace {

FILE* out = stdout;
std::wstring shotsDir;

std::string Utf8(const std::wstring& w) {
  if (w.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                    nullptr, nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr,
                      nullptr);
  return s;
}

PROCESS_INFORMATION process{};

// Ends the program too, so that the desktop it runs in closes.
[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(out, "FAIL %s\n", what.c_str());
  std::fflush(out);
  if (process.hProcess) TerminateProcess(process.hProcess, 98);
  std::exit(1);
}

// The last line of a run in which everything held (the exit code does not
// come through Wine's virtual desktop).
int Pass() {
  std::fprintf(out, "PASS\n");
  std::fflush(out);
  return 0;
}

void Ok(const std::string& what) {
  std::fprintf(out, "ok %s\n", what.c_str());
  std::fflush(out);
}

std::wstring Text(HWND hwnd) {
  wchar_t buffer[4096];
  const LRESULT n = SendMessageW(hwnd, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(buffer));
  return std::wstring(buffer, static_cast<size_t>(n));
}

std::wstring ClassOf(HWND hwnd) {
  wchar_t name[256];
  const int n = GetClassNameW(hwnd, name, 256);
  return std::wstring(name, static_cast<size_t>(n > 0 ? n : 0));
}

bool Running() { return WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT; }

struct Search {
  DWORD pid;
  int id;
  const std::wstring* text;
  HWND found;
};

BOOL CALLBACK MatchDialog(HWND hwnd, LPARAM p) {
  auto* s = reinterpret_cast<Search*>(p);
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  if (pid != s->pid || !IsWindowVisible(hwnd) || ClassOf(hwnd) != L"#32770") return TRUE;
  HWND child = GetDlgItem(hwnd, s->id);
  if (!child) return TRUE;
  if (!s->text->empty() && Text(child) != *s->text) return TRUE;
  s->found = hwnd;
  return FALSE;
}

// A visible dialog window of the program that holds the control `id`.
HWND FindDialog(int id, const std::wstring& text = L"") {
  Search search{process.dwProcessId, id, &text, nullptr};
  EnumWindows(MatchDialog, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND WaitDialog(int id, const std::string& what, const std::wstring& text = L"",
                DWORD ms = 30000) {
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < ms) {
    if (HWND h = FindDialog(id, text)) return h;
    if (!Running()) Fail(what + ": the program ended before it showed");
    Sleep(50);
  }
  Fail(what + ": not shown");
}

// A message box's text (its static has the identifier 0xFFFF).
constexpr int kBoxText = 0xFFFF;

void Shot(const std::string& name, HWND hwnd) {
  if (shotsDir.empty()) return;
  Sleep(400);  // let the window paint
  RECT r;
  GetWindowRect(hwnd, &r);
  const std::wstring base = shotsDir + L"\\" + std::wstring(name.begin(), name.end());
  const std::wstring done = base + L".done";
  DeleteFileW(done.c_str());
  HANDLE f = CreateFileW((base + L".req").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0,
                         nullptr);
  char line[128];
  const int n = std::snprintf(line, sizeof line, "%ld %ld %ld %ld\n", r.left, r.top,
                              r.right - r.left, r.bottom - r.top);
  DWORD written;
  WriteFile(f, line, static_cast<DWORD>(n), &written, nullptr);
  CloseHandle(f);
  for (int i = 0; i < 200 && GetFileAttributesW(done.c_str()) == INVALID_FILE_ATTRIBUTES; ++i)
    Sleep(50);
  Ok("screenshot " + name);
}

std::wstring Quote(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
  std::wstring q = L"\"";
  for (wchar_t c : arg) {
    if (c == L'"') q += L'\\';
    q += c;
  }
  return q + L"\"";
}

void Start(const std::wstring& exe, const std::vector<std::wstring>& args) {
  std::wstring line = Quote(exe);
  for (const auto& a : args) line += L" " + Quote(a);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  if (!CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                      &process))
    Fail("cannot start " + Utf8(exe));
}

DWORD WaitExit(DWORD ms) {
  if (WaitForSingleObject(process.hProcess, ms) != WAIT_OBJECT_0) {
    TerminateProcess(process.hProcess, 99);
    Fail("the program did not end");
  }
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  return code;
}

// A drop as the shell makes it: a DROPFILES block with wide names. A global
// handle means nothing in another process, so the block is written into the
// program's memory, where the shell's functions read it as a fixed block.
void Drop(HWND target, const std::vector<std::wstring>& files) {
  std::vector<char> block(sizeof(DROPFILES));
  auto* df = reinterpret_cast<DROPFILES*>(block.data());
  df->pFiles = sizeof(DROPFILES);
  df->pt = {20, 20};
  df->fNC = FALSE;
  df->fWide = TRUE;
  for (const auto& f : files) {
    const char* bytes = reinterpret_cast<const char*>(f.c_str());
    block.insert(block.end(), bytes, bytes + (f.size() + 1) * sizeof(wchar_t));
  }
  block.insert(block.end(), sizeof(wchar_t), '\0');
  void* remote = VirtualAllocEx(process.hProcess, nullptr, block.size(), MEM_COMMIT | MEM_RESERVE,
                                PAGE_READWRITE);
  SIZE_T written = 0;
  if (!remote ||
      !WriteProcessMemory(process.hProcess, remote, block.data(), block.size(), &written))
    Fail("cannot place the drop in the program's memory");
  if (!PostMessageW(target, WM_DROPFILES, reinterpret_cast<WPARAM>(remote), 0))
    Fail("WM_DROPFILES not posted");
}

int TabOf(int page) { return page; }  // LZH, ZIP, CAB have tabs 0 to 2

void PickPage(HWND dlg, int page) {
  HWND tab = GetDlgItem(dlg, IDC_PageControl1);
  const int groups[] = {IDC_grpLHACompressMethod, IDC_grpZipDeflateType, IDC_grpCAB_CompressType};
  for (int tries = 0; tries < 8; ++tries) {
    const int current = static_cast<int>(SendMessageW(tab, TCM_GETCURSEL, 0, 0));
    if (current == TabOf(page)) break;
    // The arrow keys move the tab control's selection as a user's do.
    const WPARAM key = current < TabOf(page) ? VK_RIGHT : VK_LEFT;
    SendMessageW(tab, WM_KEYDOWN, key, 0);
    SendMessageW(tab, WM_KEYUP, key, 0);
  }
  Sleep(100);
  if (!IsWindowVisible(GetDlgItem(dlg, groups[page])))
    Fail("page " + std::to_string(page) + " not shown after its tab was picked");
  Ok("page " + std::to_string(page));
}

void Click(HWND dlg, int id, const std::string& what) {
  HWND b = GetDlgItem(dlg, id);
  if (!b || !IsWindowEnabled(b)) Fail(what + ": no enabled control");
  PostMessageW(b, BM_CLICK, 0, 0);
  for (int i = 0; i < 100 && SendMessageW(b, BM_GETCHECK, 0, 0) != BST_CHECKED; ++i) Sleep(20);
  if (SendMessageW(b, BM_GETCHECK, 0, 0) != BST_CHECKED) Fail(what + ": not checked by a click");
}

// Answers an open question of the program: its text must be `expect`.
void Answer(const std::wstring& expect, int button, const std::string& what) {
  HWND box = WaitDialog(kBoxText, what, expect, 15000);
  if (Text(box) != L"Pelmoran Vix") Fail(what + ": caption " + Utf8(Text(box)));
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(box, button)));
  for (int i = 0; i < 100 && IsWindow(box) && IsWindowVisible(box); ++i) Sleep(50);
  Ok(what);
}

// The client area of a window at the screen's DPI, in 96-DPI pixels.
void ExpectClient(HWND hwnd, int w, int h, const std::string& what) {
  RECT r;
  GetClientRect(hwnd, &r);
  HDC dc = GetDC(nullptr);
  const int dpi = GetDeviceCaps(dc, LOGPIXELSY);
  ReleaseDC(nullptr, dc);
  const int ew = MulDiv(w, dpi, 96), eh = MulDiv(h, dpi, 96);
  if (r.right != ew || r.bottom != eh)
    Fail(what + " client area " + std::to_string(r.right) + "x" + std::to_string(r.bottom) +
         ", expected " + std::to_string(ew) + "x" + std::to_string(eh));
}

int Position(HWND progress) {
  return static_cast<int>(
      SendDlgItemMessageW(progress, IDC_PR_ProgressBar1, PBM_GETPOS, 0, 0));
}

void Cancel(HWND progress) {
  const std::wstring question = L"キャンセルしてもよろしいですか？";
  ExpectClient(progress, 435, 94, "progress window");
  if (Text(progress) != L"Pelmoran Vix") Fail("progress window caption");
  Shot("progress", progress);
  // Esc is no cancel button.
  PostMessageW(GetDlgItem(progress, IDC_PR_Button1), WM_KEYDOWN, VK_ESCAPE, 0);
  Sleep(300);
  if (FindDialog(kBoxText, question)) Fail("Esc asked the cancel question");
  PostMessageW(GetDlgItem(progress, IDC_PR_Button1), BM_CLICK, 0, 0);
  HWND box = WaitDialog(kBoxText, "the cancel question", question, 15000);
  const int before = Position(progress);
  Sleep(300);
  if (Position(progress) != before) Fail("the bar moved while the question was open");
  Answer(question, IDNO, "answered No");
  const DWORD start = GetTickCount();
  while (Position(progress) == before && Running() && GetTickCount() - start < 20000) Sleep(50);
  if (!Running()) Fail("the run ended after No (make the input larger)");
  if (Position(progress) == before) Fail("the bar stopped after No");
  Ok("the run goes on after No (" + std::to_string(before) + "% -> " +
     std::to_string(Position(progress)) + "%)");
  (void)box;
  // The close box asks the same question.
  PostMessageW(progress, WM_SYSCOMMAND, SC_CLOSE, 0);
  Answer(question, IDYES, "answered Yes after the close box");
}

struct FindChooser {
  DWORD pid;
  HWND found;
};

BOOL CALLBACK MatchChooser(HWND h, LPARAM p) {
  auto* f = reinterpret_cast<FindChooser*>(p);
  DWORD pid = 0;
  GetWindowThreadProcessId(h, &pid);
  if (pid == f->pid && IsWindowVisible(h) && Text(h) == L"書庫ファイルの選択") {
    f->found = h;
    return FALSE;
  }
  return TRUE;
}

// The chooser "書庫ファイルの選択": a name typed in its file-name box and
// confirmed becomes the archive name.
void ChooseArchive(HWND dlg, const std::wstring& file) {
  PostMessageW(GetDlgItem(dlg, IDC_btnSearchArchiveFile), BM_CLICK, 0, 0);
  HWND chooser = nullptr;
  for (int i = 0; i < 200 && !chooser; ++i) {
    Sleep(50);
    FindChooser find{process.dwProcessId, nullptr};
    EnumWindows(MatchChooser, reinterpret_cast<LPARAM>(&find));
    chooser = find.found;
  }
  if (!chooser) Fail("the archive-file chooser did not open");
  // The file-name box: an edit (edt1) or a combo box (cmb13).
  HWND box = GetDlgItem(chooser, 0x480);
  if (!box) box = GetDlgItem(chooser, 0x47C);
  if (!box) Fail("the chooser has no file-name box");
  SendMessageW(box, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(file.c_str()));
  PostMessageW(chooser, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  const std::wstring want = file.substr(file.find_last_of(L'\\') + 1);
  HWND edit = GetDlgItem(dlg, IDC_edtArchiveFilename);
  for (int i = 0; i < 100; ++i) {
    const std::wstring got = Text(edit);
    if (got.size() >= want.size() && got.compare(got.size() - want.size(), want.size(), want) == 0) {
      Ok("chosen in the chooser: " + Utf8(got));
      return;
    }
    Sleep(50);
  }
  Fail("the chooser's name did not reach the archive name: " + Utf8(Text(edit)));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring exe, name, expectName, password, openName;
  std::vector<std::wstring> args, drops;
  int page = -1, method = -1, paths = -1, expectPage = -1, expectExit = 0;
  bool esc = false, cancel = false, expectQuit = false, optionsCancel = false;
  std::wstring options, expectOptions, names;
  std::vector<std::wstring> expectNamed;
  bool verify = false;
  for (int i = 1; i < argc; ++i) {
    const std::wstring a = argv[i];
    auto next = [&]() -> std::wstring {
      if (i + 1 >= argc) Fail("missing value after " + Utf8(a));
      return argv[++i];
    };
    if (a == L"--") {
      args.assign(argv + i + 1, argv + argc);
      break;
    } else if (a == L"--drop") drops.push_back(next());
    else if (a == L"--esc") esc = true;
    else if (a == L"--options") options = next(), esc = true;
    else if (a == L"--options-cancel") optionsCancel = true;
    else if (a == L"--expect-options") expectOptions = next(), esc = true;
    else if (a == L"--page") page = std::stoi(next());
    else if (a == L"--method") method = std::stoi(next());
    else if (a == L"--paths") paths = std::stoi(next());
    else if (a == L"--password") password = next();
    else if (a == L"--verify") verify = true;
    else if (a == L"--names") names = next();
    else if (a == L"--expect-named") expectNamed.push_back(next());
    else if (a == L"--name") name = next();
    else if (a == L"--expect-name") expectName = next();
    else if (a == L"--expect-page") expectPage = std::stoi(next());
    else if (a == L"--cancel") cancel = true;
    else if (a == L"--expect-quit") expectQuit = true;
    else if (a == L"--expect-exit") expectExit = std::stoi(next());
    else if (a == L"--open") openName = next();
    else if (a == L"--shots") shotsDir = next();
    else exe = a;
  }
  if (exe.empty()) Fail("no program given");
  Start(exe, args);

  if (args.empty()) {
    HWND drop = WaitDialog(IDC_DD_Button2, "the drop window");
    if (Text(drop) != L"Pelmoran Vix") Fail("drop window caption");
    if (!(GetWindowLongW(drop, GWL_EXSTYLE) & WS_EX_ACCEPTFILES)) Fail("the drop window takes no files");
    if (Text(GetDlgItem(drop, IDC_DD_Panel2)) != L"ファイルをＤ＆Ｄしてください") Fail("drop text");
    if (GetWindow(drop, GW_OWNER)) Fail("the drop window has an owner while it is shown");
    ExpectClient(drop, 178, 105, "drop window");
    Ok("drop window");
    Shot("drop", drop);
    if (esc) {
      PostMessageW(GetDlgItem(drop, IDC_DD_Button2), BM_CLICK, 0, 0);
      HWND opt = WaitDialog(IDC_OP_CheckBox1, "the options dialog");
      if (Text(opt) != L"オプション設定") Fail("options caption");
      ExpectClient(opt, 307, 223, "options client area");
      std::wstring boxes;
      for (int id : {IDC_OP_CheckBox1, IDC_OP_CheckBox2, IDC_OP_CheckBox3})
        boxes += SendDlgItemMessageW(opt, id, BM_GETCHECK, 0, 0) == BST_CHECKED ? L'1' : L'0';
      Ok("options boxes " + Utf8(boxes));
      if (!expectOptions.empty() && boxes != expectOptions)
        Fail("options boxes " + Utf8(boxes) + ", want " + Utf8(expectOptions));
      HWND tabs = GetDlgItem(opt, IDC_OP_PageControl1);
      Shot("gui-option-1", opt);
      if (!shotsDir.empty()) {
        // The version page, as a click on its tab shows it (the tab control
        // tells its dialog itself).
        SendMessageW(tabs, TCM_SETCURFOCUS, 1, 0);
        if (!IsWindowVisible(GetDlgItem(opt, IDC_OP_Version))) Fail("the version page");
        Shot("gui-option-2", opt);
        SendMessageW(tabs, TCM_SETCURFOCUS, 0, 0);
        if (!IsWindowVisible(GetDlgItem(opt, IDC_OP_CheckBox1))) Fail("the options page");
      }
      for (size_t i = 0; i < options.size() && i < 3; ++i)
        SendDlgItemMessageW(opt, IDC_OP_CheckBox1 + static_cast<int>(i), BM_SETCHECK,
                            options[i] == L'1' ? BST_CHECKED : BST_UNCHECKED, 0);
      const int button = options.empty() || optionsCancel ? IDC_OP_Button2 : IDC_OP_Button1;
      PostMessageW(opt, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                   reinterpret_cast<LPARAM>(GetDlgItem(opt, button)));
      for (int i = 0; i < 200 && IsWindow(opt); ++i) Sleep(50);
      if (IsWindow(opt)) Fail("the options dialog stayed");
      if (!IsWindowVisible(drop)) Fail("オプション設定 closed the drop window");
      Ok("オプション設定 keeps the drop window");
      PostMessageW(GetDlgItem(drop, IDC_DD_Button1), WM_KEYDOWN, VK_ESCAPE, 0);
      const DWORD code = WaitExit(15000);
      if (FindDialog(IDC_btnOK)) Fail("the dialog showed after Esc");
      Ok("Esc ends the run (exit " + std::to_string(code) + ")");
      return Pass();
    }
    Drop(drop, drops);
    Ok("dropped " + std::to_string(drops.size()) + " names");
  }
  if (expectQuit) {
    const DWORD code = WaitExit(15000);
    if (FindDialog(IDC_btnOK)) Fail("a dialog showed");
    Ok("ended without a window (exit " + std::to_string(code) + ")");
    return Pass();
  }

  HWND dlg = WaitDialog(IDC_PageControl1, "the compress dialog");
  if (Text(dlg) != L"Pelmoran Vix") Fail("dialog caption");
  if (args.empty()) {
    // After a drop the dialog takes the drop window's place in front.
    for (int i = 0; i < 40 && GetForegroundWindow() != dlg; ++i) Sleep(50);
    if (GetForegroundWindow() != dlg) Fail("the dialog is not the foreground window after the drop");
  }
  Ok("compress dialog");
  const std::wstring proposed = Text(GetDlgItem(dlg, IDC_edtArchiveFilename));
  if (!expectName.empty() && proposed != expectName)
    Fail("proposed name " + Utf8(proposed) + ", expected " + Utf8(expectName));
  if (expectPage >= 0) {
    const int groups[] = {IDC_grpLHACompressMethod, IDC_grpZipDeflateType, IDC_grpCAB_CompressType,
                          IDC_grpTAR_CompressType};
    if (!IsWindowVisible(GetDlgItem(dlg, groups[expectPage])))
      Fail("page " + std::to_string(expectPage) + " is not the one shown");
    Ok("page " + std::to_string(expectPage) + " shown at start");
  }
  if (page >= 0) PickPage(dlg, page);
  const int groups[] = {IDC_grpLHACompressMethod, IDC_grpZipDeflateType, IDC_grpCAB_CompressType,
                        IDC_grpTAR_CompressType};
  const int shown = page >= 0 ? page : expectPage;
  if (method >= 0 && shown >= 0) Click(dlg, groups[shown] + 1 + method, "method");
  if (paths >= 0) Click(dlg, IDC_grpStoredDirNames + 1 + paths, "path mode");
  if (verify) {
    HWND box = GetDlgItem(dlg, IDC_chkVerify);
    if (!IsWindowVisible(box) || Text(box) != L"書き込み後に検査する(&T)") Fail("the verify box");
    Click(dlg, IDC_chkVerify, "verify box");
  }
  if (!password.empty()) {
    HWND edit = GetDlgItem(dlg, IDC_edtZIP_Password);
    HWND show = GetDlgItem(dlg, IDC_chkZIP_ShowPassword);
    // At start all three password controls are enabled; then the box
    // enables the edit and the show box as it is ticked.
    if (!IsWindowEnabled(edit) || !IsWindowEnabled(show)) Fail("password controls start disabled");
    HWND box = GetDlgItem(dlg, IDC_chkZIP_Password);
    for (int round = 0; round < 3; ++round) {
      const bool tick = round != 1;
      PostMessageW(box, BM_CLICK, 0, 0);
      for (int i = 0; i < 100 && (IsWindowEnabled(edit) != tick || IsWindowEnabled(show) != tick);
           ++i)
        Sleep(20);
      if (IsWindowEnabled(edit) != tick || IsWindowEnabled(show) != tick)
        Fail(std::string("the password box ") + (tick ? "ticked" : "cleared") +
             " does not switch its controls");
    }
    SendMessageW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(password.c_str()));
    if (SendMessageW(edit, EM_GETPASSWORDCHAR, 0, 0) != L'*') Fail("the password is not masked");
    Ok("password typed, masked");
  }
  if (!openName.empty()) ChooseArchive(dlg, openName);
  // Taken with the proposed name, before a test's own name is typed.
  if (shown >= 0) Shot("compress-" + std::to_string(shown), dlg);
  if (!name.empty())
    SendMessageW(GetDlgItem(dlg, IDC_edtArchiveFilename), WM_SETTEXT, 0,
                 reinterpret_cast<LPARAM>(name.c_str()));

  PostMessageW(dlg, WM_COMMAND, MAKEWPARAM(IDC_btnOK, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dlg, IDC_btnOK)));
  if (cancel) {
    HWND progress = WaitDialog(IDC_PR_Button1, "the progress window");
    if (IsWindowVisible(dlg)) Fail("the dialog stays visible during the run");
    Cancel(progress);
  }
  // Any error report is shown and confirmed, so the run can end; the name
  // question is answered as --names says.
  bool asked = false;
  const DWORD start = GetTickCount();
  while (Running() && GetTickCount() - start < 120000) {
    if (HWND box = FindDialog(kBoxText)) {
      if (GetDlgItem(box, IDYES) && !GetDlgItem(box, IDC_PR_Button1)) {
        const std::wstring text = Text(GetDlgItem(box, kBoxText));
        if (names.empty() || asked) Fail("unexpected question: " + Utf8(text));
        if (Text(box) != L"Pelmoran Vix" ||
            text.rfind(L"次のファイル名はこの形式の書庫にそのままでは格納できません。", 0) != 0)
          Fail("not the name question: " + Utf8(text));
        for (const auto& line : expectNamed)
          if (text.find(line) == std::wstring::npos)
            Fail("the name question lacks " + Utf8(line) + ": " + Utf8(text));
        asked = true;
        const int button = names == L"yes" ? IDYES : IDNO;
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(box, button)));
        Ok("name question answered " + Utf8(names));
        Sleep(200);
        continue;
      }
      if (!GetDlgItem(box, IDC_PR_Button1)) {
        std::fprintf(out, "message %s\n", Utf8(Text(GetDlgItem(box, kBoxText))).c_str());
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        Sleep(200);
      }
    }
    Sleep(50);
  }
  const DWORD code = WaitExit(5000);
  if (!names.empty() && !asked) Fail("the name question was not asked");
  if (static_cast<int>(code) != expectExit) Fail("exit code " + std::to_string(code));
  Ok("ended (exit " + std::to_string(code) + ")");
  return Pass();
}

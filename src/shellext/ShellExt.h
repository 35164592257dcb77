// VIXSHEXT: the Explorer context-menu command that hands the selection to
// PLM_VIX. It does no archiving itself.
#pragma once

#include <windows.h>
#include <shlobj.h>

#include <string>
#include <vector>

namespace vixshext {

// {3519710A-E0D7-40A6-B068-715E6DB7EF1C}
extern const CLSID CLSID_PMShellExtention;

// Objects and locks alive in this module; DllCanUnloadNow answers from it.
void ModuleAddRef();
void ModuleRelease();
long ModuleCount();

class TPMShellExtention final : public IShellExtInit, public IContextMenu {
 public:
  TPMShellExtention();
  ~TPMShellExtention();
  TPMShellExtention(const TPMShellExtention&) = delete;
  TPMShellExtention& operator=(const TPMShellExtention&) = delete;

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  STDMETHODIMP Initialize(PCIDLIST_ABSOLUTE folder, IDataObject* data, HKEY progKey) override;

  STDMETHODIMP QueryContextMenu(HMENU menu, UINT position, UINT firstCmd, UINT lastCmd,
                                UINT flags) override;
  STDMETHODIMP InvokeCommand(CMINVOKECOMMANDINFO* info) override;
  STDMETHODIMP GetCommandString(UINT_PTR cmd, UINT type, UINT* reserved, CHAR* name,
                                UINT size) override;

 private:
  void LaunchMainProgram(const wchar_t* switchText);

  LONG refs_ = 1;
  std::vector<std::wstring> SelectedFiles;
};

// The pieces LaunchMainProgram is made of, apart so that each can be named.
std::wstring ModulePath();
std::wstring MainProgramPath();
std::wstring NewListFileName();
// Writes the names as UTF-8 with a byte-order mark, CR LF after each;
// false with the system's reason when the file cannot be written whole.
bool SaveListFile(const std::wstring& path, const std::vector<std::wstring>& names,
                  DWORD& error);
std::wstring QuoteArg(const std::wstring& arg);

}  // namespace vixshext

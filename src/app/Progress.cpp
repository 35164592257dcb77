#include "app/Progress.h"

#include "app/AppUtils.h"
#include "app/Main.h"

namespace vix::app {

void TfrmProgress::SetLabel1(const std::string& text) {
  Label1 = text;
  Changed();
}

void TfrmProgress::SetLabel2(const std::string& text) {
  Label2 = text;
  Changed();
}

void TfrmProgress::SetPosition(int percent) {
  ProgressBar1 = percent < 0 ? 0 : percent > 100 ? 100 : percent;
  Changed();
}

void TfrmProgress::Button1Click() {
  bool canClose = true;
  FormCloseQuery(canClose);
}

void TfrmProgress::FormCloseQuery(bool& CanClose) {
  CanClose = false;
  owner_.Cancelled = AskCancel();
}

bool AskCancel() { return AppMessageBox(kCancelQuestion, MB_YESNO_ | MB_ICONSTOP_) == IDYES_; }

}  // namespace vix::app

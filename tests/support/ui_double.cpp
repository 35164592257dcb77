#include "support/ui_double.h"

namespace vix::test {

UiDouble::UiDouble() : saved_(platform::Ui()) {
  platform::UiHooks& hooks = platform::Ui();
  hooks.PumpMessages = [this] { ++Pumps; };
  hooks.MessageBox = [this](const std::string& text, const std::string& caption,
                            platform::MsgIcon icon) { Messages.push_back({text, caption, icon}); };
  hooks.AskYesNo = [this](const std::string& text, const std::string& caption) {
    return Next(Kind::YesNo, text, caption);
  };
  hooks.AskRetryCancel = [this](const std::string& text, const std::string& caption) {
    return Next(Kind::RetryCancel, text, caption);
  };
}

UiDouble::~UiDouble() { platform::Ui() = saved_; }

platform::Answer UiDouble::Next(Kind kind, const std::string& text, const std::string& caption) {
  platform::Answer answer = kind == Kind::YesNo ? platform::Answer::No : platform::Answer::Cancel;
  if (!answers_.empty()) {
    answer = answers_.front();
    answers_.pop_front();
  }
  Questions.push_back({kind, text, caption, answer});
  return answer;
}

}  // namespace vix::test

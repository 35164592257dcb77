// Scripted answers for the user-interface hooks.
//
// While a UiDouble lives, its hooks replace the installed ones (restored on
// destruction). Questions take the queued answers in order; once the queue
// is empty every question gets the safe answer (No, Cancel). Every
// question, message and message pump is recorded.
//
//   test::UiDouble ui;
//   ui.QueueAnswer(platform::Answer::Retry);
//   ... code that calls platform::AskRetryCancel twice ...
//   EXPECT_EQ(ui.Questions.size(), 2u);  // Retry, then Cancel
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace vix::test {

class UiDouble {
 public:
  enum class Kind { YesNo, RetryCancel };
  struct Question {
    Kind kind;
    std::string Text, Caption;
    platform::Answer Given;
  };
  struct Message {
    std::string Text, Caption;
    platform::MsgIcon Icon;
  };

  UiDouble();
  ~UiDouble();
  UiDouble(const UiDouble&) = delete;
  UiDouble& operator=(const UiDouble&) = delete;

  void QueueAnswer(platform::Answer answer) { answers_.push_back(answer); }
  size_t AnswersLeft() const { return answers_.size(); }

  std::vector<Question> Questions;
  std::vector<Message> Messages;
  int Pumps = 0;

 private:
  platform::Answer Next(Kind kind, const std::string& text, const std::string& caption);

  std::deque<platform::Answer> answers_;
  platform::UiHooks saved_;
};

}  // namespace vix::test

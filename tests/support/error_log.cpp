#include "support/error_log.h"

namespace vix::test {

void ErrorLog::Attach(TCompBase& component) {
  component.OnError = [this](TCompBase&, const std::string& file, const std::string& extended,
                             const std::string&, int code) {
    Reports.push_back({code, file, extended});
  };
}

std::vector<int> ErrorLog::Codes() const {
  std::vector<int> codes;
  for (const Report& r : Reports) codes.push_back(r.Code);
  return codes;
}

std::vector<std::string> ErrorLog::Messages() const {
  std::vector<std::string> messages;
  for (const Report& r : Reports) messages.push_back(r.File + ": " + r.Extended);
  return messages;
}

}  // namespace vix::test

// What a user reads from vix: one line per error, in the user's words and
// language, with the system's reason and never an internal event name.
#include <gtest/gtest.h>

#include "app/AppMessages.h"
#include "archive/kvtErrors.h"

namespace vix::app {
namespace {

TEST(Messages, ReadOnlyArchiveIsSaidPlainly) {
  const std::string en = ErrorLine("/w/a.zip", "OnNonWriteableArchive", kErrEventNotAssigned,
                                   TLang::En);
  EXPECT_EQ(en, "error while processing /w/a.zip: the archive is read-only (or a hidden or system file)");
  const std::string ja = ErrorLine("/w/a.zip", "OnNonWriteableArchive", kErrEventNotAssigned,
                                   TLang::Ja);
  EXPECT_EQ(ja.find("OnNonWriteableArchive"), std::string::npos);
  EXPECT_NE(ja.find("/w/a.zip を処理中にエラーが発生しました。"), std::string::npos);
  EXPECT_NE(ja.find("読み取り専用"), std::string::npos);
}

TEST(Messages, SystemReasonIsKeptAndLinesAreSingle) {
  const std::string en = ErrorLine("/w/b.txt", "Permission denied", kErrOpen, TLang::En);
  EXPECT_EQ(en, "error while processing /w/b.txt: cannot open the file (Permission denied)");
  EXPECT_EQ(ErrorLine("/w/b.txt", "Permission denied", kErrOpen, TLang::Ja),
            "/w/b.txt を処理中にエラーが発生しました。 ERROR: ファイルを開けません 詳細: Permission denied");
  EXPECT_EQ(ErrorLine("x", "0", kErrWrite, TLang::En), "error while processing x: cannot write the file");
  // A code without a text of ours keeps the library's.
  EXPECT_EQ(ReasonText(25153, "", TLang::En), MessageText(25153));
  for (TLang lang : {TLang::En, TLang::Ja})
    EXPECT_EQ(ErrorLine("f", "d", kErrNameNotStored, lang).find('\n'), std::string::npos);
}

TEST(Messages, EveryTextExistsInBothLanguages) {
  for (int id = 0; id <= static_cast<int>(TMsg::Usage); ++id) {
    EXPECT_FALSE(Text(static_cast<TMsg>(id), TLang::En).empty()) << id;
    EXPECT_FALSE(Text(static_cast<TMsg>(id), TLang::Ja).empty()) << id;
  }
  EXPECT_EQ(Format(TMsg::Written, TLang::En, "a.zip", "3"), "a.zip: 3 file(s) written");
}

}  // namespace
}  // namespace vix::app

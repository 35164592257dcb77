// The component library's string table: the English texts of the message
// codes that this system reports.
#include "archive/kvtErrors.h"

#include <cstddef>

namespace vix {
namespace {

struct MessageEntry {
  int Code;
  const char* Text;
};

// Sorted by code; every code that a component reports has its text here.
constexpr MessageEntry kMessages[] = {
    {kErrWrite, "Error writing to file"},
    {kErrSpannedLabel, "Error writing spanned-disk label"},
    {kErrCreateDir, "Unable to create directory"},
    {kErrNotAccessible, "is not accessible."},
    {kErrOpen, "Error opening file"},
    {kErrUnsupported, "Invalid or unsupported archive type for this operation"},
    {kErrCabinetLibrary, "Cabinet.dll not found"},
    {kErrEventNotAssigned, "Required event not assigned"},
    {kErrUserCanceled, "User canceled"},
    {kErrNameNotStored, "File name cannot be stored in this archive"},
    {kErrNothingToDo, "Nothing to do"},
    {kErrVerifyFailed, "Archive failed verification"},
    {kErrDirNotExist, "Directory does not exist... Create?"},
};

constexpr bool SortedByCode() {
  for (size_t i = 1; i < sizeof(kMessages) / sizeof(kMessages[0]); ++i)
    if (kMessages[i - 1].Code >= kMessages[i].Code) return false;
  return true;
}
static_assert(SortedByCode(), "message codes must be unique and ascending");

}  // namespace

const char* FindMessageText(int code) {
  for (const MessageEntry& entry : kMessages)
    if (entry.Code == code) return entry.Text;
  return nullptr;
}

std::string MessageText(int code) {
  if (const char* text = FindMessageText(code)) return text;
  return "Error " + std::to_string(code);
}

}  // namespace vix

// Message codes of the component library and the exception classes.
#pragma once

#include <stdexcept>
#include <string>

namespace vix {

// Codes passed through OnError; MessageText gives the English text.
enum MessageCode : int {
  kErrWrite = 25136,              // "Error writing to file"
  kErrSpannedLabel = 25153,       // "Error writing spanned-disk label"
  kErrCreateDir = 25156,          // "Unable to create directory"
  kErrNotAccessible = 25160,      // "is not accessible."
  kErrOpen = 25235,               // "Error opening file"
  kErrUnsupported = 25242,        // "Invalid or unsupported archive type for this operation"
  kErrCabinetLibrary = 25261,     // "Cabinet.dll not found"
  kErrEventNotAssigned = 25270,   // "Required event not assigned"
  kErrUserCanceled = 25449,       // "User canceled"
  kErrNameNotStored = 26858,      // "File name cannot be stored in this archive" (ours)
  kErrNothingToDo = 26859,        // "Nothing to do"
  kErrVerifyFailed = 26860,       // "Archive failed verification" (ours)
  kErrDirNotExist = 26899,        // "Directory does not exist... Create?"
};

// The English text of a code; "Error <code>" for a code not in the table.
std::string MessageText(int code);
// The text of a code, or null when the table does not hold it.
const char* FindMessageText(int code);

// The fatal error of the archive components: raised after OnError.
class E_RAISE : public std::runtime_error {
 public:
  explicit E_RAISE(int code) : std::runtime_error(MessageText(code)), Code(code) {}
  E_RAISE(int code, const std::string& message) : std::runtime_error(message), Code(code) {}
  int Code;
  // Set when OnError has heard of it already (RaiseError); a short block
  // write raises without telling OnError.
  bool Reported = false;
};

}  // namespace vix

// The job's writer choice: which writer a format page creates, the methods
// each page offers (the dialog's radio items and their command-line names),
// the extension that completes an archive name, and the LZH end mark.
// The dialog, vix and arcwrite all choose through these tables.
#pragma once

#include <memory>
#include <string>

#include "archive/kvtBase.h"

namespace vix::app {

// Pages of the compress dialog (the TAR page's tab is hidden).
enum TPage : int { pgLzh = 0, pgZip = 1, pgCab = 2, pgTar = 3 };
inline constexpr int kPageCount = 4;

struct TFormatInfo {
  const char* Name;  // command-line name
  int Page;          // dialog page, -1 for a format no page offers
  const char* Ext;   // extension of a new archive
};
// lzh, zip, cab, tar, gzip.
extern const TFormatInfo kFormats[];
extern const int kFormatCount;

struct TMethodInfo {
  const char* Format;      // kFormats name
  const char* Name;        // command-line name
  int Item;                // the page's radio item, -1 when the dialog has none
  TCompressMethod Method;
  int Deflate;             // TDeflateType, -1 to leave the writer's
};
extern const TMethodInfo kMethods[];
extern const int kMethodCount;

const TFormatInfo* FindFormat(const std::string& name);
const TFormatInfo* FormatOfPage(int page);
const TMethodInfo* FindMethod(const std::string& format, const std::string& name);
const TMethodInfo* MethodOfItem(int page, int item);

// The writer of a format (null for an unknown one).
std::unique_ptr<TCompBase> MakeWriter(const std::string& format);
// The writer of a page (null outside 0..3).
std::unique_ptr<TCompBase> MakePageWriter(int page);
// Sets the writer's method as the page's radio item asks; an item the page
// does not have leaves the page's default.
void ApplyPageMethod(TCompBase& writer, int page, int item);
void ApplyMethod(TCompBase& writer, const TMethodInfo& method);
// The extension that completes a name on this page and item ("" for none).
std::string PageExtension(int page, int item);
// grpStoredDirNames item → StoredDirNames.
TStoredDirNames StoredDirNamesOfItem(int item);

// The LZH end-of-archive mark (one 0x00 byte) that the LZH writer leaves to
// the job. False with the system's reason when it could not be written.
bool AppendLzhEndMark(const std::string& archive, std::string& reason);

}  // namespace vix::app

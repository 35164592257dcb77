#include "app/WriterChoice.h"

#include <cstring>

#include "writers/kvtGZip.h"
#include "writers/kvtLha.h"
#include "writers/kvtMakeCab.h"
#include "writers/kvtTar.h"
#include "writers/kvtZipIT.h"

namespace vix::app {

const TFormatInfo kFormats[] = {
    {"lzh", pgLzh, ".lzh"}, {"zip", pgZip, ".zip"}, {"cab", pgCab, ".cab"},
    {"tar", pgTar, ".tar"}, {"gzip", -1, ".gz"},
};
const int kFormatCount = sizeof(kFormats) / sizeof(kFormats[0]);

// The dialog's items first, in item order; rows with item -1 are methods
// only the test tool asks for.
const TMethodInfo kMethods[] = {
    {"lzh", "store", 0, cmStore, -1},
    {"lzh", "lh5", 1, cmFrozen5, -1},
    {"lzh", "lh6", 2, cmFrozen6, -1},
    {"zip", "store", 0, cmStore, -1},
    {"zip", "fast", 1, cmDeflate, dtDeflateF},
    {"zip", "normal", 2, cmDeflate, dtDeflateN},
    {"zip", "max", 3, cmDeflate, dtDeflateX},
    {"zip", "deflate", -1, cmDeflate, -1},
    {"cab", "store", 0, cmStore, -1},
    {"cab", "mszip", 1, cmMsZip, -1},
    {"cab", "lzx", 2, cmLzx, -1},
    {"cab", "quantum", -1, cmQuantum, -1},
    {"tar", "tar", 0, cmTarred, -1},
    {"tar", "tgz", 1, cmGzipTar, -1},
};
const int kMethodCount = sizeof(kMethods) / sizeof(kMethods[0]);

const TFormatInfo* FindFormat(const std::string& name) {
  for (const auto& f : kFormats)
    if (name == f.Name) return &f;
  return nullptr;
}

const TFormatInfo* FormatOfPage(int page) {
  for (const auto& f : kFormats)
    if (f.Page >= 0 && f.Page == page) return &f;
  return nullptr;
}

const TMethodInfo* FindMethod(const std::string& format, const std::string& name) {
  for (const auto& m : kMethods)
    if (format == m.Format && name == m.Name) return &m;
  return nullptr;
}

const TMethodInfo* MethodOfItem(int page, int item) {
  const TFormatInfo* f = FormatOfPage(page);
  if (!f || item < 0) return nullptr;
  for (const auto& m : kMethods)
    if (std::strcmp(m.Format, f->Name) == 0 && m.Item == item) return &m;
  return nullptr;
}

std::unique_ptr<TCompBase> MakeWriter(const std::string& format) {
  if (format == "lzh") return std::make_unique<TLha>(nullptr);
  if (format == "zip") return std::make_unique<TZip>(nullptr);
  if (format == "cab") return std::make_unique<TMakeCab>(nullptr);
  if (format == "tar") return std::make_unique<TTar>(nullptr);
  if (format == "gzip") return std::make_unique<TGZip>(nullptr);
  return nullptr;
}

std::unique_ptr<TCompBase> MakePageWriter(int page) {
  const TFormatInfo* f = FormatOfPage(page);
  return f ? MakeWriter(f->Name) : nullptr;
}

void ApplyMethod(TCompBase& writer, const TMethodInfo& method) {
  writer.SetCompressMethod(method.Method);
  if (method.Deflate >= 0) writer.SetDeflateType(static_cast<TDeflateType>(method.Deflate));
}

void ApplyPageMethod(TCompBase& writer, int page, int item) {
  // ZIP deflates unless the item says otherwise.
  if (page == pgZip) writer.SetCompressMethod(cmDeflate);
  if (const TMethodInfo* m = MethodOfItem(page, item)) {
    ApplyMethod(writer, *m);
  } else if (page == pgCab) {
    // The CAB page takes any item it does not list for its last one.
    writer.SetCompressMethod(cmLzx);
  }
}

std::string PageExtension(int page, int item) {
  if (page == pgTar) {
    if (item == 0) return ".tar";
    if (item == 1) return ".tgz";
    return "";
  }
  const TFormatInfo* f = FormatOfPage(page);
  return f ? f->Ext : "";
}

TStoredDirNames StoredDirNamesOfItem(int item) {
  if (item == 0) return sdExplorer;
  if (item == 1) return sdAbsoluteNoDrv;
  return sdNone;
}

bool AppendLzhEndMark(const std::string& archive, std::string& reason) {
  auto& os = platform::Current();
  auto file = os.OpenReadWrite(archive);
  if (!file) {
    reason = os.LastErrorText();
    return false;
  }
  const uint8_t zero = 0;
  if (!file->Seek(0, platform::Origin::End) || file->Write(&zero, 1) != 1 || !file->Close()) {
    reason = os.LastErrorText();
    return false;
  }
  return true;
}

}  // namespace vix::app

// Doubles for driving the built-in cabinet library through its entry
// points: callbacks over an in-memory file system with faults to inject, a
// record of what the library asked for, and a fixture around one context.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "cabinet/cabreader.h"
#include "support/test_data.h"
#include "writers/cabinet/fci.h"

namespace vix::test::fcidoubles {

using namespace vix::fci;
using vix::test::Bytes;
using vix::test::Cabinet;

inline constexpr int kEEXIST = 17, kENOENT = 2, kEIO = 5, kENOSPC = 28;
inline int gAllocs = 0, gFrees = 0;
inline bool gAllocFails = false;

// An in-memory file system behind the callbacks, with faults to inject and
// a record of what the library asked for.
struct MemFs {
  std::map<std::string, Bytes> files;
  std::map<INT_PTR, std::pair<std::string, size_t>> open;  // name, position
  INT_PTR nextHandle = 100;
  int tempCount = 0, tempRefusals = 0, tempRepeats = 0, abortAtStatus = -1;
  BOOL nextCabinetAnswer = 0;
  std::string failReadOf, failWriteOf;
  size_t failReadAfter = 0;
  size_t failWriteAfter = 0;  // failWriteOf takes bytes up to here
  long seekEndAnswer = -1;  // >= 0: what seeking to the end reports
  std::vector<std::tuple<UINT, ULONG, ULONG>> statuses;
  std::vector<std::string> placed;
  std::vector<std::pair<std::string, int>> opens;  // name, flags
  std::vector<CCAB> nextCabinetCalls;
  std::map<std::string, std::tuple<USHORT, USHORT, USHORT>> stamps;
  // Every call the library made, in order, with its file (temporary ones
  // unnumbered, so that runs compare) and size.
  std::vector<std::string> calls;
  void Log(const char* what, const std::string& name, size_t n = 0) {
    const std::string file = name.rfind("tmp/", 0) == 0 ? "tmp" : name;
    calls.push_back(std::string(what) + " " + file + " " + std::to_string(n));
  }
  std::string NameOf(INT_PTR hf) { return open.count(hf) ? open[hf].first : "?"; }
};
inline MemFs& Fs(void* pv) { return *static_cast<MemFs*>(pv); }

inline void* Alloc(ULONG cb) { return gAllocFails ? nullptr : (++gAllocs, ::operator new(cb)); }
inline void Free(void* p) { ++gFrees, ::operator delete(p); }
inline INT_PTR FsOpen(char* name, int flags, int, int* err, void* pv) {
  MemFs& fs = Fs(pv);
  fs.opens.emplace_back(name, flags);
  fs.Log("open", name, flags);
  const bool exists = fs.files.count(name) != 0;
  if ((flags & O_CREAT_) ? (flags & O_EXCL_) && exists : !exists)
    return *err = exists ? kEEXIST : kENOENT, -1;
  if ((flags & O_TRUNC_) || !exists) fs.files[name].clear();
  fs.open[fs.nextHandle] = {name, 0};
  return fs.nextHandle++;
}
inline UINT FsRead(INT_PTR hf, void* memory, UINT cb, int* err, void* pv) {
  MemFs& fs = Fs(pv);
  fs.Log("read", fs.NameOf(hf), cb);
  if (!fs.open.count(hf)) return *err = kEIO, UINT(-1);
  auto& [name, pos] = fs.open[hf];
  if (name == fs.failReadOf && pos + cb > fs.failReadAfter) return *err = kEIO, UINT(-1);
  const Bytes& data = fs.files[name];
  const size_t n = pos >= data.size() ? 0 : std::min<size_t>(cb, data.size() - pos);
  if (n) std::memcpy(memory, data.data() + pos, n);
  pos += n;
  return static_cast<UINT>(n);
}
inline UINT FsWrite(INT_PTR hf, void* memory, UINT cb, int* err, void* pv) {
  MemFs& fs = Fs(pv);
  fs.Log("write", fs.NameOf(hf), cb);
  if (!fs.open.count(hf)) return *err = kEIO, UINT(-1);
  auto& [name, pos] = fs.open[hf];
  if (name == fs.failWriteOf && pos + cb > fs.failWriteAfter) return *err = kENOSPC, 0;
  Bytes& data = fs.files[name];
  if (data.size() < pos + cb) data.resize(pos + cb);
  std::memcpy(data.data() + pos, memory, cb);
  pos += cb;
  return cb;
}
inline int FsClose(INT_PTR hf, int* err, void* pv) {
  Fs(pv).Log("close", Fs(pv).NameOf(hf));
  return Fs(pv).open.erase(hf) ? 0 : (*err = kEIO, -1);
}
inline long FsSeek(INT_PTR hf, long dist, int type, int* err, void* pv) {
  MemFs& fs = Fs(pv);
  fs.Log("seek", fs.NameOf(hf), size_t(dist) * 4 + size_t(type));
  if (!fs.open.count(hf)) return *err = kEIO, -1;
  auto& [name, pos] = fs.open[hf];
  if (type == SEEK_END_ && fs.seekEndAnswer >= 0) return fs.seekEndAnswer;
  const long base = type == SEEK_SET_   ? 0
                    : type == SEEK_CUR_ ? long(pos)
                                        : long(fs.files[name].size());
  pos = static_cast<size_t>(base + dist);
  return long(pos);
}
inline int FsDelete(char* name, int* err, void* pv) {
  Fs(pv).Log("delete", name);
  return Fs(pv).files.erase(name) ? 0 : (*err = kENOENT, -1);
}
inline BOOL FsTempName(char* buffer, int size, void* pv) {
  MemFs& fs = Fs(pv);
  fs.Log("temp", "");
  if (fs.tempRefusals > 0) return --fs.tempRefusals, 0;
  std::string name = "tmp/t" + std::to_string(fs.tempCount++);
  if (fs.tempRepeats > 0) --fs.tempRepeats, name = "tmp/existing", fs.files[name] = Bytes{1};
  std::snprintf(buffer, size, "%s", name.c_str());
  return 1;
}
inline int Placed(PCCAB, char* file, long size, BOOL, void* pv) {
  Fs(pv).Log("placed", file, size_t(size));
  return Fs(pv).placed.push_back(file), 0;
}
inline BOOL NextCabinet(PCCAB pccab, ULONG size, void* pv) {
  Fs(pv).Log("next", std::to_string(pccab->iCab), size);
  Fs(pv).nextCabinetCalls.push_back(*pccab);
  std::snprintf(pccab->szCab, sizeof pccab->szCab, "out%d.cab", pccab->iCab);
  std::snprintf(pccab->szDisk, sizeof pccab->szDisk, "disk %d", pccab->iCab);
  return Fs(pv).nextCabinetAnswer;
}
inline long Status(UINT type, ULONG cb1, ULONG cb2, void* pv) {
  MemFs& fs = Fs(pv);
  fs.Log("status", std::to_string(type) + " " + std::to_string(cb1), cb2);
  fs.statuses.emplace_back(type, cb1, cb2);
  return int(fs.statuses.size()) - 1 == fs.abortAtStatus ? -1 : 0;
}
inline INT_PTR OpenInfo(char* name, USHORT* date, USHORT* time, USHORT* attribs, int* err,
                        void* pv) {
  MemFs& fs = Fs(pv);
  std::tie(*date, *time, *attribs) =
      fs.stamps.count(name) ? fs.stamps[name]
                            : std::make_tuple(USHORT(0x5878), USHORT(0x6DBD), USHORT(A_ARCH));
  return FsOpen(name, O_RDONLY_ | O_BINARY_, 0, err, pv);
}

class FciTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gAllocs = gFrees = 0;
    gAllocFails = false;
    std::memset(&ccab, 0, sizeof ccab);
    ccab.cbFolderThresh = 900000;
    std::strcpy(ccab.szCab, "out.cab");
    std::strcpy(ccab.szCabPath, "cabs/");
  }
  void TearDown() override { Destroy(); }
  HFCI Create() {
    return hfci = FCICreate(&erf, Placed, Alloc, Free, FsOpen, FsRead, FsWrite, FsClose, FsSeek,
                            FsDelete, FsTempName, &ccab, &fs);
  }
  void Destroy() {
    if (hfci) {
      EXPECT_TRUE(FCIDestroy(hfci));
    }
    hfci = nullptr;
  }
  void Source(const std::string& name, Bytes data) { fs.files["src/" + name] = std::move(data); }
  bool Add(const std::string& name, TCOMP type = tcompTYPE_MSZIP, bool exec = false) {
    std::string src = "src/" + name, stored = name;
    return FCIAddFile(hfci, src.data(), stored.data(), exec, NextCabinet, Status, OpenInfo, type);
  }
  bool Flush(BOOL next = 0) { return FCIFlushCabinet(hfci, next, NextCabinet, Status); }
  Cabinet Read(const std::string& name = "cabs/out.cab") {
    Cabinet cab;
    std::string why;
    EXPECT_TRUE(fs.files.count(name)) << name << " not written";
    EXPECT_TRUE(vix::test::ReadCabinet(fs.files[name], cab, why)) << why;
    return cab;
  }
  void ExpectError(int oper, int type = -1) {
    EXPECT_TRUE(erf.fError);
    EXPECT_EQ(erf.erfOper, oper);
    if (type >= 0) {
      EXPECT_EQ(erf.erfType, type);
    }
  }

  MemFs fs;
  CCAB ccab;
  ERF erf{};
  HFCI hfci = nullptr;
};

}  // namespace vix::test::fcidoubles

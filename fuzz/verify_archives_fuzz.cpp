// The verifier's archive readers (ZIP with and without a password, LZH,
// CAB, TAR, GZIP) on arbitrary input: the first byte picks the reader. A
// read either succeeds or names a failure; it never crashes.
#include <cstdint>
#include <cstdlib>

#include "verify/archive_readers.h"

using namespace vix::verify;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t pick = data[0];
  MemoryAccess mem(data + 1, size - 1);
  ReadResult r;
  switch (pick % 6) {
    case 0: r = ReadZipArchive(mem, ""); break;
    case 1: r = ReadZipArchive(mem, "secret"); break;
    case 2: r = ReadLzhArchive(mem); break;
    case 3: r = ReadCabArchive(mem); break;
    case 4: r = ReadTarArchive(mem); break;
    default: r = ReadGzipArchive(mem); break;
  }
  if (!r.Ok() && r.Error.empty()) std::abort();
  return 0;
}

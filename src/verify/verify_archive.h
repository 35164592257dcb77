// The verification step of a run: reads a finished archive back with the
// verifier's readers and compares it with what the run read from its
// sources (TCompBase::VerifyRecords).
#pragma once

#include <string>
#include <vector>

#include "archive/kvtBase.h"
#include "verify/archive_readers.h"

namespace vix::verify {

struct Mismatch {
  std::string Entry;  // empty when the archive as a whole is at fault
  std::string Why;
};

// Reads the archive of `type` (a ZIP, LZH, CAB, TAR or GZIP file).
ReadResult ReadArchive(RandomAccess& file, TArcType type, const std::string& password);

// Compares what the archive holds with the records, entry by entry in
// order. False, with `out` set, at the first difference.
bool CompareWithRecords(const ReadResult& archive,
                        const std::vector<TCompBase::TVerifyRecord>& records, Mismatch& out);

}  // namespace vix::verify

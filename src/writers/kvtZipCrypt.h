// How the ZIP writer uses the traditional ZIP cipher: the 12-byte header that
// starts every encrypted entry, and the CRC-32 it needs before the data.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace vix {

inline constexpr uint32_t kEncryptionHeaderSize = 12;
using EncryptionHeader = std::array<uint8_t, kEncryptionHeaderSize>;

// Sets the process-wide cipher keys from `password` and returns the header,
// already encrypted: ten random bytes, then bits 16-23 and 24-31 of `crc`
// (the check bytes readers test a password against). The keys are left as
// the header leaves them, ready for the entry's data.
EncryptionHeader MakeEncryptionHeader(const std::string& password, uint32_t crc);

}  // namespace vix

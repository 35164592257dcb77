// Checksums, the traditional ZIP stream cipher and 32-bit file positioning.
#include "archive/kvtCrc.h"

#include <algorithm>
#include <vector>

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define VIX_CRC32_CLMUL 1
#include <cpuid.h>
#include <immintrin.h>
#endif

#include "archive/kvtBytes.h"

namespace vix {

// Reflected CRC-16/ARC, polynomial 0xA001 (the LZH header and data CRC).
constexpr uint16_t kCrc16Table[256] = {
    0x0000, 0xC0C1, 0xC181, 0x0140, 0xC301, 0x03C0, 0x0280, 0xC241,
    0xC601, 0x06C0, 0x0780, 0xC741, 0x0500, 0xC5C1, 0xC481, 0x0440,
    0xCC01, 0x0CC0, 0x0D80, 0xCD41, 0x0F00, 0xCFC1, 0xCE81, 0x0E40,
    0x0A00, 0xCAC1, 0xCB81, 0x0B40, 0xC901, 0x09C0, 0x0880, 0xC841,
    0xD801, 0x18C0, 0x1980, 0xD941, 0x1B00, 0xDBC1, 0xDA81, 0x1A40,
    0x1E00, 0xDEC1, 0xDF81, 0x1F40, 0xDD01, 0x1DC0, 0x1C80, 0xDC41,
    0x1400, 0xD4C1, 0xD581, 0x1540, 0xD701, 0x17C0, 0x1680, 0xD641,
    0xD201, 0x12C0, 0x1380, 0xD341, 0x1100, 0xD1C1, 0xD081, 0x1040,
    0xF001, 0x30C0, 0x3180, 0xF141, 0x3300, 0xF3C1, 0xF281, 0x3240,
    0x3600, 0xF6C1, 0xF781, 0x3740, 0xF501, 0x35C0, 0x3480, 0xF441,
    0x3C00, 0xFCC1, 0xFD81, 0x3D40, 0xFF01, 0x3FC0, 0x3E80, 0xFE41,
    0xFA01, 0x3AC0, 0x3B80, 0xFB41, 0x3900, 0xF9C1, 0xF881, 0x3840,
    0x2800, 0xE8C1, 0xE981, 0x2940, 0xEB01, 0x2BC0, 0x2A80, 0xEA41,
    0xEE01, 0x2EC0, 0x2F80, 0xEF41, 0x2D00, 0xEDC1, 0xEC81, 0x2C40,
    0xE401, 0x24C0, 0x2580, 0xE541, 0x2700, 0xE7C1, 0xE681, 0x2640,
    0x2200, 0xE2C1, 0xE381, 0x2340, 0xE101, 0x21C0, 0x2080, 0xE041,
    0xA001, 0x60C0, 0x6180, 0xA141, 0x6300, 0xA3C1, 0xA281, 0x6240,
    0x6600, 0xA6C1, 0xA781, 0x6740, 0xA501, 0x65C0, 0x6480, 0xA441,
    0x6C00, 0xACC1, 0xAD81, 0x6D40, 0xAF01, 0x6FC0, 0x6E80, 0xAE41,
    0xAA01, 0x6AC0, 0x6B80, 0xAB41, 0x6900, 0xA9C1, 0xA881, 0x6840,
    0x7800, 0xB8C1, 0xB981, 0x7940, 0xBB01, 0x7BC0, 0x7A80, 0xBA41,
    0xBE01, 0x7EC0, 0x7F80, 0xBF41, 0x7D00, 0xBDC1, 0xBC81, 0x7C40,
    0xB401, 0x74C0, 0x7580, 0xB541, 0x7700, 0xB7C1, 0xB681, 0x7640,
    0x7200, 0xB2C1, 0xB381, 0x7340, 0xB101, 0x71C0, 0x7080, 0xB041,
    0x5000, 0x90C1, 0x9181, 0x5140, 0x9301, 0x53C0, 0x5280, 0x9241,
    0x9601, 0x56C0, 0x5780, 0x9741, 0x5500, 0x95C1, 0x9481, 0x5440,
    0x9C01, 0x5CC0, 0x5D80, 0x9D41, 0x5F00, 0x9FC1, 0x9E81, 0x5E40,
    0x5A00, 0x9AC1, 0x9B81, 0x5B40, 0x9901, 0x59C0, 0x5880, 0x9841,
    0x8801, 0x48C0, 0x4980, 0x8941, 0x4B00, 0x8BC1, 0x8A81, 0x4A40,
    0x4E00, 0x8EC1, 0x8F81, 0x4F40, 0x8D01, 0x4DC0, 0x4C80, 0x8C41,
    0x4400, 0x84C1, 0x8581, 0x4540, 0x8701, 0x47C0, 0x4680, 0x8641,
    0x8201, 0x42C0, 0x4380, 0x8341, 0x4100, 0x81C1, 0x8081, 0x4040,
};

// Reflected CRC-32/ISO-HDLC, polynomial 0xEDB88320 (ZIP, GZIP, the cipher).
constexpr uint32_t kCrc32Table[256] = {
    0x00000000, 0x77073096, 0xEE0E612C, 0x990951BA, 0x076DC419, 0x706AF48F,
    0xE963A535, 0x9E6495A3, 0x0EDB8832, 0x79DCB8A4, 0xE0D5E91E, 0x97D2D988,
    0x09B64C2B, 0x7EB17CBD, 0xE7B82D07, 0x90BF1D91, 0x1DB71064, 0x6AB020F2,
    0xF3B97148, 0x84BE41DE, 0x1ADAD47D, 0x6DDDE4EB, 0xF4D4B551, 0x83D385C7,
    0x136C9856, 0x646BA8C0, 0xFD62F97A, 0x8A65C9EC, 0x14015C4F, 0x63066CD9,
    0xFA0F3D63, 0x8D080DF5, 0x3B6E20C8, 0x4C69105E, 0xD56041E4, 0xA2677172,
    0x3C03E4D1, 0x4B04D447, 0xD20D85FD, 0xA50AB56B, 0x35B5A8FA, 0x42B2986C,
    0xDBBBC9D6, 0xACBCF940, 0x32D86CE3, 0x45DF5C75, 0xDCD60DCF, 0xABD13D59,
    0x26D930AC, 0x51DE003A, 0xC8D75180, 0xBFD06116, 0x21B4F4B5, 0x56B3C423,
    0xCFBA9599, 0xB8BDA50F, 0x2802B89E, 0x5F058808, 0xC60CD9B2, 0xB10BE924,
    0x2F6F7C87, 0x58684C11, 0xC1611DAB, 0xB6662D3D, 0x76DC4190, 0x01DB7106,
    0x98D220BC, 0xEFD5102A, 0x71B18589, 0x06B6B51F, 0x9FBFE4A5, 0xE8B8D433,
    0x7807C9A2, 0x0F00F934, 0x9609A88E, 0xE10E9818, 0x7F6A0DBB, 0x086D3D2D,
    0x91646C97, 0xE6635C01, 0x6B6B51F4, 0x1C6C6162, 0x856530D8, 0xF262004E,
    0x6C0695ED, 0x1B01A57B, 0x8208F4C1, 0xF50FC457, 0x65B0D9C6, 0x12B7E950,
    0x8BBEB8EA, 0xFCB9887C, 0x62DD1DDF, 0x15DA2D49, 0x8CD37CF3, 0xFBD44C65,
    0x4DB26158, 0x3AB551CE, 0xA3BC0074, 0xD4BB30E2, 0x4ADFA541, 0x3DD895D7,
    0xA4D1C46D, 0xD3D6F4FB, 0x4369E96A, 0x346ED9FC, 0xAD678846, 0xDA60B8D0,
    0x44042D73, 0x33031DE5, 0xAA0A4C5F, 0xDD0D7CC9, 0x5005713C, 0x270241AA,
    0xBE0B1010, 0xC90C2086, 0x5768B525, 0x206F85B3, 0xB966D409, 0xCE61E49F,
    0x5EDEF90E, 0x29D9C998, 0xB0D09822, 0xC7D7A8B4, 0x59B33D17, 0x2EB40D81,
    0xB7BD5C3B, 0xC0BA6CAD, 0xEDB88320, 0x9ABFB3B6, 0x03B6E20C, 0x74B1D29A,
    0xEAD54739, 0x9DD277AF, 0x04DB2615, 0x73DC1683, 0xE3630B12, 0x94643B84,
    0x0D6D6A3E, 0x7A6A5AA8, 0xE40ECF0B, 0x9309FF9D, 0x0A00AE27, 0x7D079EB1,
    0xF00F9344, 0x8708A3D2, 0x1E01F268, 0x6906C2FE, 0xF762575D, 0x806567CB,
    0x196C3671, 0x6E6B06E7, 0xFED41B76, 0x89D32BE0, 0x10DA7A5A, 0x67DD4ACC,
    0xF9B9DF6F, 0x8EBEEFF9, 0x17B7BE43, 0x60B08ED5, 0xD6D6A3E8, 0xA1D1937E,
    0x38D8C2C4, 0x4FDFF252, 0xD1BB67F1, 0xA6BC5767, 0x3FB506DD, 0x48B2364B,
    0xD80D2BDA, 0xAF0A1B4C, 0x36034AF6, 0x41047A60, 0xDF60EFC3, 0xA867DF55,
    0x316E8EEF, 0x4669BE79, 0xCB61B38C, 0xBC66831A, 0x256FD2A0, 0x5268E236,
    0xCC0C7795, 0xBB0B4703, 0x220216B9, 0x5505262F, 0xC5BA3BBE, 0xB2BD0B28,
    0x2BB45A92, 0x5CB36A04, 0xC2D7FFA7, 0xB5D0CF31, 0x2CD99E8B, 0x5BDEAE1D,
    0x9B64C2B0, 0xEC63F226, 0x756AA39C, 0x026D930A, 0x9C0906A9, 0xEB0E363F,
    0x72076785, 0x05005713, 0x95BF4A82, 0xE2B87A14, 0x7BB12BAE, 0x0CB61B38,
    0x92D28E9B, 0xE5D5BE0D, 0x7CDCEFB7, 0x0BDBDF21, 0x86D3D2D4, 0xF1D4E242,
    0x68DDB3F8, 0x1FDA836E, 0x81BE16CD, 0xF6B9265B, 0x6FB077E1, 0x18B74777,
    0x88085AE6, 0xFF0F6A70, 0x66063BCA, 0x11010B5C, 0x8F659EFF, 0xF862AE69,
    0x616BFFD3, 0x166CCF45, 0xA00AE278, 0xD70DD2EE, 0x4E048354, 0x3903B3C2,
    0xA7672661, 0xD06016F7, 0x4969474D, 0x3E6E77DB, 0xAED16A4A, 0xD9D65ADC,
    0x40DF0B66, 0x37D83BF0, 0xA9BCAE53, 0xDEBB9EC5, 0x47B2CF7F, 0x30B5FFE9,
    0xBDBDF21C, 0xCABAC28A, 0x53B39330, 0x24B4A3A6, 0xBAD03605, 0xCDD70693,
    0x54DE5729, 0x23D967BF, 0xB3667A2E, 0xC4614AB8, 0x5D681B02, 0x2A6F2B94,
    0xB40BBE37, 0xC30C8EA1, 0x5A05DF1B, 0x2D02EF8D,
};

namespace {

// Bit-by-bit definition of a table entry, to check the literal tables.
template <typename T>
constexpr T ReflectedEntry(uint32_t index, T poly) {
  T c = static_cast<T>(index);
  for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? static_cast<T>((c >> 1) ^ poly) : static_cast<T>(c >> 1);
  return c;
}

template <typename T, size_t N>
constexpr bool TableMatches(const T (&table)[N], T poly) {
  for (uint32_t i = 0; i < N; ++i)
    if (table[i] != ReflectedEntry<T>(i, poly)) return false;
  return true;
}

static_assert(kCrc16Table[1] == 0xC0C1, "CRC-16/ARC table");
static_assert(kCrc32Table[1] == 0x77073096, "CRC-32 table");
static_assert(TableMatches(kCrc16Table, uint16_t{0xA001}), "CRC-16 table differs from its polynomial");
static_assert(TableMatches(kCrc32Table, uint32_t{0xEDB88320}), "CRC-32 table differs from its polynomial");

// Slicing tables: row k holds the CRC of a byte followed by k zero bytes, so
// that several input bytes fold into the register with one lookup each.
template <typename T, int Rows>
struct Slices {
  T Row[Rows][256];
};

template <typename T, int Rows>
constexpr Slices<T, Rows> MakeSlices(const T (&base)[256]) {
  Slices<T, Rows> s{};
  for (int i = 0; i < 256; ++i) s.Row[0][i] = base[i];
  for (int k = 1; k < Rows; ++k)
    for (int i = 0; i < 256; ++i)
      s.Row[k][i] = static_cast<T>((s.Row[k - 1][i] >> 8) ^ base[s.Row[k - 1][i] & 0xFF]);
  return s;
}

// Sixteen rows: only the lookups of the register's bytes lie on the loop's
// critical path, so each pass over 16 bytes hides at least twelve more behind
// them. The rows take 16 KiB (CRC-32) and 8 KiB (CRC-16).
constexpr int kSliceRows = 16;
constexpr Slices<uint32_t, kSliceRows> kCrc32Slices = MakeSlices<uint32_t, kSliceRows>(kCrc32Table);
constexpr Slices<uint16_t, kSliceRows> kCrc16Slices = MakeSlices<uint16_t, kSliceRows>(kCrc16Table);

// Folds whole 16-byte blocks into a register no wider than the table's CRC
// and returns it; the caller finishes the last count % 16 bytes. Words are
// read little-endian whatever the host (GetLE32 compiles to one load where
// that is the host's order) and at any alignment.
template <typename T>
uint32_t UpdateSliced(const Slices<T, kSliceRows>& s, const uint8_t*& p, size_t& count, uint32_t c) {
  const auto& t = s.Row;
  while (count >= 16) {
    const uint32_t w0 = c ^ GetLE32(p);
    const uint32_t w1 = GetLE32(p + 4);
    const uint32_t w2 = GetLE32(p + 8);
    const uint32_t w3 = GetLE32(p + 12);
    c = t[15][w0 & 0xFF] ^ t[14][(w0 >> 8) & 0xFF] ^ t[13][(w0 >> 16) & 0xFF] ^ t[12][w0 >> 24] ^
        t[11][w1 & 0xFF] ^ t[10][(w1 >> 8) & 0xFF] ^ t[9][(w1 >> 16) & 0xFF] ^ t[8][w1 >> 24] ^
        t[7][w2 & 0xFF] ^ t[6][(w2 >> 8) & 0xFF] ^ t[5][(w2 >> 16) & 0xFF] ^ t[4][w2 >> 24] ^
        t[3][w3 & 0xFF] ^ t[2][(w3 >> 8) & 0xFF] ^ t[1][(w3 >> 16) & 0xFF] ^ t[0][w3 >> 24];
    p += 16;
    count -= 16;
  }
  return c;
}

// The published check values of the nine digits "123456789".
constexpr uint32_t Crc32Bytewise(const char* s, uint32_t crc) {
  for (; *s; ++s) crc = kCrc32Table[(crc ^ static_cast<uint8_t>(*s)) & 0xFF] ^ (crc >> 8);
  return crc;
}
constexpr uint32_t Crc16Bytewise(const char* s, uint32_t crc) {
  for (; *s; ++s) crc = kCrc16Table[(crc ^ static_cast<uint8_t>(*s)) & 0xFF] ^ (crc >> 8);
  return crc;
}
static_assert(~Crc32Bytewise("123456789", 0xFFFFFFFF) == 0xCBF43926, "CRC-32 check value");
static_assert(Crc16Bytewise("123456789", 0) == 0xBB3D, "CRC-16/ARC check value");

constexpr size_t kFileCrcChunk = 100000;

#ifdef VIX_CRC32_CLMUL
// Folding 16 bytes at a time with the carry-less multiply instruction, as
// the processor makers describe it for reflected CRCs. Every constant is
// derived here from the polynomial: a remainder x^n mod P, bit-reflected and
// shifted left once (the reflected product is one bit short), the Barrett
// quotient x^64 div P, and P itself, both reflected over 33 bits.
constexpr uint64_t kPoly33 = 0x104C11DB7;

constexpr uint64_t Reflect(uint64_t v, int bits) {
  uint64_t r = 0;
  for (int i = 0; i < bits; ++i) r |= ((v >> i) & 1) << (bits - 1 - i);
  return r;
}

constexpr uint64_t FoldConstant(int n) {
  uint64_t r = 1;
  for (int i = 0; i < n; ++i) {
    r <<= 1;
    if (r & (uint64_t{1} << 32)) r ^= kPoly33;
  }
  return Reflect(r, 32) << 1;
}

constexpr uint64_t BarrettQuotient() {
  // x^64 div P by long division, high bits first.
  uint64_t q = 0, rem = 0;
  for (int i = 64; i >= 0; --i) {
    rem = (rem << 1) | (i == 64 ? 1 : 0);
    if (rem & (uint64_t{1} << 32)) {
      rem ^= kPoly33;
      q |= uint64_t{1} << i;
    }
  }
  return Reflect(q, 33);
}

// Distances in bits: four lanes of 128 fold over 512 (+-32 for the two
// halves of a lane), one lane over 128, and the last 64 bits over 32.
constexpr uint64_t kFold4Low = FoldConstant(512 + 32), kFold4High = FoldConstant(512 - 32);
constexpr uint64_t kFold1Low = FoldConstant(128 + 32), kFold1High = FoldConstant(128 - 32);
constexpr uint64_t kFold64 = FoldConstant(64);
constexpr uint64_t kQuotient = BarrettQuotient(), kPolyReflected = Reflect(kPoly33, 33);
static_assert(kPolyReflected == 0x1DB710641, "reflected polynomial");
static_assert(kQuotient >> 32 == 1, "Barrett quotient has degree 32");

// The folding code alone is compiled for the instructions it needs; it runs
// only where the processor has them.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("pclmul,sse2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("pclmul,sse2")
#endif

inline __m128i Load128(const uint8_t* at) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

inline __m128i Fold(__m128i lane, __m128i by, __m128i next) {
  const __m128i low = _mm_clmulepi64_si128(lane, by, 0x00);
  const __m128i high = _mm_clmulepi64_si128(lane, by, 0x11);
  return _mm_xor_si128(_mm_xor_si128(low, high), next);
}

// count is at least 64 and a multiple of 16. A 32-bit Windows thread may
// start on a stack aligned to 4 bytes only, hence the realignment there.
#if defined(__i386__)
__attribute__((force_align_arg_pointer))
#endif
uint32_t FoldClmul(const uint8_t* p, size_t count, uint32_t crc) {
  const __m128i fold4 = _mm_set_epi64x(static_cast<int64_t>(kFold4High), static_cast<int64_t>(kFold4Low));
  const __m128i fold1 = _mm_set_epi64x(static_cast<int64_t>(kFold1High), static_cast<int64_t>(kFold1Low));

  __m128i x0 = _mm_xor_si128(Load128(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
  __m128i x1 = Load128(p + 16), x2 = Load128(p + 32), x3 = Load128(p + 48);
  p += 64;
  count -= 64;
  while (count >= 64) {
    x0 = Fold(x0, fold4, Load128(p));
    x1 = Fold(x1, fold4, Load128(p + 16));
    x2 = Fold(x2, fold4, Load128(p + 32));
    x3 = Fold(x3, fold4, Load128(p + 48));
    p += 64;
    count -= 64;
  }
  x0 = Fold(x0, fold1, x1);
  x0 = Fold(x0, fold1, x2);
  x0 = Fold(x0, fold1, x3);
  for (; count >= 16; p += 16, count -= 16) x0 = Fold(x0, fold1, Load128(p));

  // 128 bits to 64, then to 32 by Barrett reduction.
  const __m128i low32 = _mm_setr_epi32(-1, 0, -1, 0);
  x0 = _mm_xor_si128(_mm_srli_si128(x0, 8), _mm_clmulepi64_si128(x0, fold1, 0x10));
  const __m128i upper = _mm_srli_si128(x0, 4);
  x0 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x0, low32), _mm_set_epi64x(0, static_cast<int64_t>(kFold64)), 0x00), upper);
  const __m128i barrett = _mm_set_epi64x(static_cast<int64_t>(kQuotient), static_cast<int64_t>(kPolyReflected));
  __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x0, low32), barrett, 0x10);
  t = _mm_clmulepi64_si128(_mm_and_si128(t, low32), barrett, 0x00);
  x0 = _mm_xor_si128(x0, t);
  return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(x0, 4)));
}

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

bool ProcessorCanFold() {
  static const bool can = [] {
    unsigned a = 0, b = 0, c = 0, d = 0;
    return __get_cpuid(1, &a, &b, &c, &d) && (c & bit_PCLMUL) != 0 && (d & bit_SSE2) != 0;
  }();
  return can;
}
#endif

// Below this the folding's fixed cost is not paid back.
constexpr size_t kFoldMinimum = 64;

}  // namespace

uint32_t Crc16Value = 0;
uint32_t Crc32Value = 0;
CipherKeyState CipherKeys = {0, 0, 0};

void UpdateCrc16(const void* buffer, size_t count, uint32_t& crc) {
  const uint8_t* p = static_cast<const uint8_t*>(buffer);
  uint32_t c = crc;
  // A register with bits above the low 16 (never the case from a start of 0)
  // shifts them out within three bytes; the sliced loop needs them gone.
  while (count > 0 && c > 0xFFFF) {
    c = kCrc16Table[(c ^ *p++) & 0xFF] ^ (c >> 8);
    --count;
  }
  c = UpdateSliced(kCrc16Slices, p, count, c);
  while (count-- > 0) c = kCrc16Table[(c ^ *p++) & 0xFF] ^ (c >> 8);
  crc = c;
}

namespace detail {

void UpdateCrc32Sliced(const void* buffer, size_t count, uint32_t& crc) {
  const uint8_t* p = static_cast<const uint8_t*>(buffer);
  uint32_t c = crc;
  c = UpdateSliced(kCrc32Slices, p, count, c);
  while (count-- > 0) c = kCrc32Table[(c ^ *p++) & 0xFF] ^ (c >> 8);
  crc = c;
}

bool UpdateCrc32Folded(const void* buffer, size_t count, uint32_t& crc) {
#ifdef VIX_CRC32_CLMUL
  if (!ProcessorCanFold()) return false;
  const uint8_t* p = static_cast<const uint8_t*>(buffer);
  if (count >= kFoldMinimum) {
    const size_t whole = count & ~size_t{15};
    crc = FoldClmul(p, whole, crc);
    p += whole;
    count -= whole;
  }
  UpdateCrc32Sliced(p, count, crc);
  return true;
#else
  (void)buffer, (void)count, (void)crc;
  return false;
#endif
}

}  // namespace detail

void UpdateCrc32(const void* buffer, size_t count, uint32_t& crc) {
  if (count >= kFoldMinimum && detail::UpdateCrc32Folded(buffer, count, crc)) return;
  detail::UpdateCrc32Sliced(buffer, count, crc);
}

bool FileCrc32(platform::Stream& file, uint64_t size, uint32_t& crc) {
  uint32_t reg = 0xFFFFFFFF;
  uint64_t remaining = size;
  if (file.Seek(0, platform::Origin::Begin) && remaining > 0) {
    std::vector<uint8_t> buffer(static_cast<size_t>(std::min<uint64_t>(kFileCrcChunk, remaining)));
    while (remaining > 0) {
      const size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), remaining));
      const int64_t got = file.Read(buffer.data(), want);
      if (got <= 0) break;
      UpdateCrc32(buffer.data(), static_cast<size_t>(got), reg);
      remaining -= static_cast<uint64_t>(got);
    }
  }
  const bool rewound = file.Seek(0, platform::Origin::Begin);
  crc = ~reg;
  return remaining == 0 && rewound;
}

uint32_t FileCrc32(platform::Stream& file) {
  const int64_t size = file.Size();
  uint32_t crc = 0;
  return FileCrc32(file, size > 0 ? static_cast<uint64_t>(size) : 0, crc) ? crc : 0;
}

// --- Traditional ZIP encryption ------------------------------------------

namespace {

constexpr uint32_t kKeyMultiplier = 134775813;

uint8_t KeystreamByte() {
  const uint32_t temp = (CipherKeys.Key2 | 2) & 0xFFFF;
  return static_cast<uint8_t>((temp * (temp ^ 1)) >> 8);
}

void UpdateKeys(uint8_t plain) {
  CipherKeys.Key0 = Crc32Step(plain, CipherKeys.Key0);
  CipherKeys.Key1 = (CipherKeys.Key1 + (CipherKeys.Key0 & 0xFF)) * kKeyMultiplier + 1;
  CipherKeys.Key2 = Crc32Step(static_cast<uint8_t>(CipherKeys.Key1 >> 24), CipherKeys.Key2);
}

}  // namespace

void InitCipherKeys(const std::string& password) {
  CipherKeys = {0x12345678, 0x23456789, 0x34567890};
  for (char c : password) UpdateKeys(static_cast<uint8_t>(c));
}

uint8_t EncryptByte(uint8_t plain) {
  const uint8_t key = KeystreamByte();
  UpdateKeys(plain);
  return plain ^ key;
}

uint8_t DecryptByte(uint8_t cipher) {
  const uint8_t plain = cipher ^ KeystreamByte();
  UpdateKeys(plain);
  return plain;
}

// --- 32-bit file positioning -----------------------------------------------

uint32_t GetFilePos(platform::Stream& h) {
  return static_cast<uint32_t>(h.Position());
}

bool SetFilePos(platform::Stream& h, int32_t distance, int method) {
  if (method < 0 || method > 2) return false;
  return h.Seek(distance, static_cast<platform::Origin>(method));
}

uint32_t GetFileSize32(platform::Stream& h) {
  const int64_t size = h.Size();
  return size < 0 ? 0 : static_cast<uint32_t>(size);
}

uint32_t GetFileDosTime(platform::File& h, int which) {
  return h.DosTime(which);
}

}  // namespace vix

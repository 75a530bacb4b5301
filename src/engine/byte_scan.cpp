// Byte scans for the matcher. memchr is already vectorised by the C library;
// the either-case letter scan is ours: setting bit 5 maps only 'A'..'Z' onto
// 'a'..'z' among the bytes that can equal a lower-case letter, so one
// compare per byte tests both cases.
#include "engine/byte_scan.h"

#include <cstring>

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#define QK_X86 1
#endif

namespace qk {

namespace {

const uint8_t* scan_for_letter_plain(const uint8_t* from, const uint8_t* to, uint8_t lower) {
  for (; from < to; ++from)
    if ((*from | 0x20) == lower) return from;
  return nullptr;
}

#if QK_X86
__attribute__((target("avx2"))) const uint8_t* scan_for_letter_avx2(const uint8_t* from,
                                                                    const uint8_t* to,
                                                                    uint8_t lower) {
  const __m256i want = _mm256_set1_epi8(static_cast<char>(lower));
  const __m256i bit = _mm256_set1_epi8(0x20);
  while (to - from >= 64) {
    __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from));
    __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + 32));
    __m256i hit_a = _mm256_cmpeq_epi8(_mm256_or_si256(a, bit), want);
    __m256i hit_b = _mm256_cmpeq_epi8(_mm256_or_si256(b, bit), want);
    if (!_mm256_testz_si256(_mm256_or_si256(hit_a, hit_b), _mm256_or_si256(hit_a, hit_b))) {
      uint32_t mask_a = static_cast<uint32_t>(_mm256_movemask_epi8(hit_a));
      if (mask_a) return from + __builtin_ctz(mask_a);
      uint32_t mask_b = static_cast<uint32_t>(_mm256_movemask_epi8(hit_b));
      return from + 32 + __builtin_ctz(mask_b);
    }
    from += 64;
  }
  while (to - from >= 32) {
    __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from));
    uint32_t mask = static_cast<uint32_t>(
        _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_or_si256(a, bit), want)));
    if (mask) return from + __builtin_ctz(mask);
    from += 32;
  }
  return scan_for_letter_plain(from, to, lower);
}

__attribute__((target("sse2"))) const uint8_t* scan_for_letter_sse2(const uint8_t* from,
                                                                    const uint8_t* to,
                                                                    uint8_t lower) {
  const __m128i want = _mm_set1_epi8(static_cast<char>(lower));
  const __m128i bit = _mm_set1_epi8(0x20);
  while (to - from >= 16) {
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
    int mask = _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_or_si128(a, bit), want));
    if (mask) return from + __builtin_ctz(static_cast<unsigned>(mask));
    from += 16;
  }
  return scan_for_letter_plain(from, to, lower);
}

bool has_avx2() {
  static const bool avx2 = __builtin_cpu_supports("avx2");
  return avx2;
}

bool has_sse2() {
  static const bool sse2 = __builtin_cpu_supports("sse2");
  return sse2;
}
#endif

}  // namespace

const uint8_t* scan_for_byte(const uint8_t* from, const uint8_t* to, uint8_t byte) {
  if (from >= to) return nullptr;
  return static_cast<const uint8_t*>(std::memchr(from, byte, static_cast<size_t>(to - from)));
}

const uint8_t* scan_for_letter(const uint8_t* from, const uint8_t* to, uint8_t lower) {
  if (from >= to) return nullptr;
#if QK_X86
  if (has_avx2()) return scan_for_letter_avx2(from, to, lower);
  if (has_sse2()) return scan_for_letter_sse2(from, to, lower);
#endif
  return scan_for_letter_plain(from, to, lower);
}

int byte_frequency(uint8_t byte, bool ignore_case) {
  // Letters in order of their frequency in English text.
  static const char kLetters[] = "etaoinshrdlcumwfgypbvkjxqz";
  if (byte == ' ') return 255;
  if (byte == '\r' || byte == '\n') return 200;
  uint8_t lower = (byte >= 'A' && byte <= 'Z') ? static_cast<uint8_t>(byte + 0x20) : byte;
  if (lower >= 'a' && lower <= 'z') {
    const int rank = static_cast<int>(std::strchr(kLetters, lower) - kLetters);
    const int common = 250 - rank * 4;  // 250 for 'e' down to 150 for 'z'
    if (ignore_case || byte == lower) return common;
    return common - 100;  // capitals are rarer than small letters
  }
  if (byte >= '0' && byte <= '9') return 120;
  if (byte == '.' || byte == ',' || byte == '-' || byte == '\'' || byte == '"') return 110;
  if (byte >= 0x21 && byte < 0x7F) return 60;
  if (byte == '\t' || byte == 0) return 40;
  return 20;
}

}  // namespace qk

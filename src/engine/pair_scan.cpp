// The two-byte scan; see pair_scan.h. Each vector step loads the bytes
// under the first tested position of 32 (or 16) candidates, and those under
// the second, ORs in the case bit where case is ignored (that maps only
// 'A'..'Z' onto 'a'..'z' among the bytes that can equal a small letter),
// compares both with their byte and ANDs the results: one bit per candidate
// that passes both. Every candidate of a step is verified before the next
// step, so the loop is left only for a match or for the caller's reads.
#include "engine/pair_scan.h"

#include <cstring>

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#define QK_X86 1
#endif

namespace qk {

namespace {

// The candidate at `at` passed the two-byte test: it is the answer when it
// lies where the caller reads the rest itself or when its text matches.
inline bool accept(const SearchPlan& plan, const uint8_t* text, int64_t n, const uint8_t* at,
                   const uint8_t* verified_end) {
  return at >= verified_end || text_matches_at(plan, text, n, at);
}

const uint8_t* find_plain(const SearchPlan& plan, const uint8_t* text, int64_t n,
                          const uint8_t* from, const uint8_t* end, const uint8_t* verified_end) {
  const uint8_t* at = from;
  while (at < end) {
    if (plan.first_fold == 0) {
      // memchr is vectorised by the C library wherever there is a vector
      // unit: the first byte is looked for with it, the second tested.
      const void* hit =
          std::memchr(at + plan.first, plan.first_byte, static_cast<size_t>(end - at));
      if (!hit) return nullptr;
      at = static_cast<const uint8_t*>(hit) - plan.first;
    } else if ((at[plan.first] | plan.first_fold) != plan.first_byte) {
      ++at;
      continue;
    }
    if ((at[plan.second] | plan.second_fold) == plan.second_byte &&
        accept(plan, text, n, at, verified_end))
      return at;
    ++at;
  }
  return nullptr;
}

// What a collector keeps while it walks the candidates: where the next
// match may start at the earliest, and what it found so far.
struct Collector {
  const SearchPlan& plan;
  const uint8_t* text;
  int64_t n;
  const AnchorTest& anchors;
  const uint8_t** found;
  int64_t cap;
  const uint8_t* next;
  // Candidates before this have eight readable bytes for the word compare.
  const uint8_t* word_end;
  // A one-byte text (or a two-byte one whose both bytes are tested) has
  // matched once its tested bytes have.
  bool tested_is_all = n == 1 || (n == 2 && plan.pair && plan.first + plan.second == 1);
  bool anchored = anchors.start || anchors.end;
  // A one-byte text without anchors: every candidate is a match, and
  // matches cannot overlap.
  bool every_hit = n == 1 && !anchored;
  int64_t count = 0;

  // Takes all of a step's candidates when every one is a match and they
  // fit; false, with nothing taken, otherwise.
  bool take_all(uint64_t bits, const uint8_t* at) {
    if (!every_hit || count + 64 > cap || next > at) return false;
    const uint8_t** out = found + count;
    for (; bits; bits &= bits - 1)
      *out++ = at + __builtin_ctzll(bits);
    count = out - found;
    next = out[-1] + 1;
    return true;
  }

  // The candidate at `at` passed the tested bytes; true when the batch is
  // full.
  bool matches(const uint8_t* at) const {
    if (tested_is_all) return true;
    if (plan.word_compare && at < word_end) {
      uint64_t word;
      std::memcpy(&word, at, 8);
      return ((word | plan.word_fold) & plan.word_care) == plan.word_want;
    }
    return text_matches_at(plan, text, n, at);
  }

  bool take(const uint8_t* at) {
    if (at < next || !matches(at) || (anchored && !anchors_hold(anchors, at, n))) return false;
    found[count++] = at;
    next = at + n;
    return count == cap;
  }
};

// The candidates of [at, end) one by one; true when the batch is full.
bool collect_plain(Collector& collector, const uint8_t* at, const uint8_t* end) {
  const SearchPlan& plan = collector.plan;
  for (; at < end; ++at) {
    if ((at[plan.first] | plan.first_fold) == plan.first_byte &&
        (at[plan.second] | plan.second_fold) == plan.second_byte && collector.take(at))
      return true;
  }
  return false;
}

#if QK_X86
// 0xFF for each of the 32 (16) candidates from `at` on whose tested bytes
// match: the first alone, or both.
template <bool kPair>
__attribute__((target("avx2"))) inline __m256i pass(const SearchPlan& plan, const uint8_t* at,
                                                    __m256i first, __m256i first_fold,
                                                    __m256i second, __m256i second_fold) {
  const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + plan.first));
  const __m256i hit = _mm256_cmpeq_epi8(_mm256_or_si256(a, first_fold), first);
  if (!kPair) return hit;
  const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + plan.second));
  return _mm256_and_si256(hit, _mm256_cmpeq_epi8(_mm256_or_si256(b, second_fold), second));
}

template <bool kPair>
__attribute__((target("sse2"))) inline __m128i pass(const SearchPlan& plan, const uint8_t* at,
                                                    __m128i first, __m128i first_fold,
                                                    __m128i second, __m128i second_fold) {
  const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + plan.first));
  const __m128i hit = _mm_cmpeq_epi8(_mm_or_si128(a, first_fold), first);
  if (!kPair) return hit;
  const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + plan.second));
  return _mm_and_si128(hit, _mm_cmpeq_epi8(_mm_or_si128(b, second_fold), second));
}

template <bool kPair>
__attribute__((target("avx2"))) const uint8_t* find_avx2(const SearchPlan& plan,
                                                         const uint8_t* text, int64_t n,
                                                         const uint8_t* from, const uint8_t* end,
                                                         const uint8_t* verified_end) {
  const __m256i first = _mm256_set1_epi8(static_cast<char>(plan.first_byte));
  const __m256i second = _mm256_set1_epi8(static_cast<char>(plan.second_byte));
  const __m256i first_fold = _mm256_set1_epi8(static_cast<char>(plan.first_fold));
  const __m256i second_fold = _mm256_set1_epi8(static_cast<char>(plan.second_fold));
  const uint8_t* at = from;
  // Two vectors a step: where candidates are rare, testing them is all the
  // work, and one branch for 64 candidates halves its cost.
  for (; end - at >= 64; at += 64) {
    const __m256i low = pass<kPair>(plan, at, first, first_fold, second, second_fold);
    const __m256i high = pass<kPair>(plan, at + 32, first, first_fold, second, second_fold);
    const __m256i any = _mm256_or_si256(low, high);
    if (_mm256_testz_si256(any, any)) continue;
    uint64_t bits = static_cast<uint32_t>(_mm256_movemask_epi8(low)) |
                    static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(high))) << 32;
    for (; bits; bits &= bits - 1) {
      const uint8_t* candidate = at + __builtin_ctzll(bits);
      if (accept(plan, text, n, candidate, verified_end)) return candidate;
    }
  }
  for (; end - at >= 32; at += 32) {
    auto bits = static_cast<uint32_t>(
        _mm256_movemask_epi8(pass<kPair>(plan, at, first, first_fold, second, second_fold)));
    for (; bits; bits &= bits - 1) {
      const uint8_t* candidate = at + __builtin_ctz(bits);
      if (accept(plan, text, n, candidate, verified_end)) return candidate;
    }
  }
  return find_plain(plan, text, n, at, end, verified_end);
}

template <bool kPair>
__attribute__((target("sse2"))) const uint8_t* find_sse2(const SearchPlan& plan,
                                                         const uint8_t* text, int64_t n,
                                                         const uint8_t* from, const uint8_t* end,
                                                         const uint8_t* verified_end) {
  const __m128i first = _mm_set1_epi8(static_cast<char>(plan.first_byte));
  const __m128i second = _mm_set1_epi8(static_cast<char>(plan.second_byte));
  const __m128i first_fold = _mm_set1_epi8(static_cast<char>(plan.first_fold));
  const __m128i second_fold = _mm_set1_epi8(static_cast<char>(plan.second_fold));
  const uint8_t* at = from;
  for (; end - at >= 32; at += 32) {
    const __m128i low = pass<kPair>(plan, at, first, first_fold, second, second_fold);
    const __m128i high = pass<kPair>(plan, at + 16, first, first_fold, second, second_fold);
    if (_mm_movemask_epi8(_mm_or_si128(low, high)) == 0) continue;
    uint32_t bits = static_cast<uint32_t>(_mm_movemask_epi8(low)) |
                    static_cast<uint32_t>(_mm_movemask_epi8(high)) << 16;
    for (; bits; bits &= bits - 1) {
      const uint8_t* candidate = at + __builtin_ctz(bits);
      if (accept(plan, text, n, candidate, verified_end)) return candidate;
    }
  }
  for (; end - at >= 16; at += 16) {
    auto bits = static_cast<uint32_t>(
        _mm_movemask_epi8(pass<kPair>(plan, at, first, first_fold, second, second_fold)));
    for (; bits; bits &= bits - 1) {
      const uint8_t* candidate = at + __builtin_ctz(bits);
      if (accept(plan, text, n, candidate, verified_end)) return candidate;
    }
  }
  return find_plain(plan, text, n, at, end, verified_end);
}

// Candidates that lie before the next possible match are dropped from a
// step's bits at once, so a long match costs no walk over its own bytes.
inline uint64_t from_next(uint64_t bits, const uint8_t* at, const uint8_t* next) {
  if (next <= at) return bits;
  const int64_t behind = next - at;
  return behind >= 64 ? 0 : bits & (~uint64_t{0} << behind);
}

template <bool kPair>
__attribute__((target("avx2"))) bool collect_avx2(Collector& collector, const uint8_t* at,
                                                  const uint8_t* end) {
  const SearchPlan& plan = collector.plan;
  const __m256i first = _mm256_set1_epi8(static_cast<char>(plan.first_byte));
  const __m256i second = _mm256_set1_epi8(static_cast<char>(plan.second_byte));
  const __m256i first_fold = _mm256_set1_epi8(static_cast<char>(plan.first_fold));
  const __m256i second_fold = _mm256_set1_epi8(static_cast<char>(plan.second_fold));
  for (; end - at >= 64; at += 64) {
    const __m256i low = pass<kPair>(plan, at, first, first_fold, second, second_fold);
    const __m256i high = pass<kPair>(plan, at + 32, first, first_fold, second, second_fold);
    const __m256i any = _mm256_or_si256(low, high);
    if (_mm256_testz_si256(any, any)) continue;
    uint64_t bits = static_cast<uint32_t>(_mm256_movemask_epi8(low)) |
                    static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(high))) << 32;
    if (collector.take_all(bits, at)) {
      if (collector.count == collector.cap) return true;
      continue;
    }
    for (bits = from_next(bits, at, collector.next); bits;) {
      const uint8_t* candidate = at + __builtin_ctzll(bits);
      bits &= bits - 1;
      if (collector.take(candidate)) return true;
      bits = from_next(bits, at, collector.next);
    }
  }
  return collect_plain(collector, at, end);
}

template <bool kPair>
__attribute__((target("sse2"))) bool collect_sse2(Collector& collector, const uint8_t* at,
                                                  const uint8_t* end) {
  const SearchPlan& plan = collector.plan;
  const __m128i first = _mm_set1_epi8(static_cast<char>(plan.first_byte));
  const __m128i second = _mm_set1_epi8(static_cast<char>(plan.second_byte));
  const __m128i first_fold = _mm_set1_epi8(static_cast<char>(plan.first_fold));
  const __m128i second_fold = _mm_set1_epi8(static_cast<char>(plan.second_fold));
  for (; end - at >= 32; at += 32) {
    const __m128i low = pass<kPair>(plan, at, first, first_fold, second, second_fold);
    const __m128i high = pass<kPair>(plan, at + 16, first, first_fold, second, second_fold);
    if (_mm_movemask_epi8(_mm_or_si128(low, high)) == 0) continue;
    uint64_t bits = static_cast<uint32_t>(_mm_movemask_epi8(low)) |
                    static_cast<uint32_t>(_mm_movemask_epi8(high)) << 16;
    for (bits = from_next(bits, at, collector.next); bits;) {
      const uint8_t* candidate = at + __builtin_ctzll(bits);
      bits &= bits - 1;
      if (collector.take(candidate)) return true;
      bits = from_next(bits, at, collector.next);
    }
  }
  return collect_plain(collector, at, end);
}
#endif

}  // namespace

int64_t collect_matches(const SearchPlan& plan, const uint8_t* text, int64_t n, const uint8_t* from,
                        int64_t count, const uint8_t* readable_end, const AnchorTest& anchors,
                        const uint8_t** found, int64_t cap, const uint8_t** resume) {
  *resume = from;
  if (cap <= 0) return 0;
  Collector collector{plan, text, n, anchors, found, cap, from, readable_end - 8};
  const uint8_t* end = from + (count > 0 ? count : 0);
  bool full;
  switch (plan.path) {
#if QK_X86
    case ScanPath::kAvx2:
      full = plan.pair ? collect_avx2<true>(collector, from, end)
                       : collect_avx2<false>(collector, from, end);
      break;
    case ScanPath::kSse2:
      full = plan.pair ? collect_sse2<true>(collector, from, end)
                       : collect_sse2<false>(collector, from, end);
      break;
#endif
    default:
      full = collect_plain(collector, from, end);
  }
  *resume = full || collector.next > end ? collector.next : end;
  return collector.count;
}

bool scan_path_runs_here(ScanPath path) {
#if QK_X86
  // One query per process: the answer never changes.
  static const bool avx2 = __builtin_cpu_supports("avx2");
  static const bool sse2 = __builtin_cpu_supports("sse2");
  if (path == ScanPath::kAvx2) return avx2;
  if (path == ScanPath::kSse2) return sse2;
#endif
  return path == ScanPath::kPlain;
}

ScanPath best_scan_path() {
  for (ScanPath path : {ScanPath::kAvx2, ScanPath::kSse2})
    if (scan_path_runs_here(path)) return path;
  return ScanPath::kPlain;
}

const uint8_t* find_candidate(const SearchPlan& plan, const uint8_t* text, int64_t n,
                              const uint8_t* from, int64_t count, int64_t verified) {
  const uint8_t* end = from + count;
  const uint8_t* verified_end = verified > 0 ? from + (verified < count ? verified : count) : from;
  switch (plan.path) {
#if QK_X86
    case ScanPath::kAvx2:
      return plan.pair ? find_avx2<true>(plan, text, n, from, end, verified_end)
                       : find_avx2<false>(plan, text, n, from, end, verified_end);
    case ScanPath::kSse2:
      return plan.pair ? find_sse2<true>(plan, text, n, from, end, verified_end)
                       : find_sse2<false>(plan, text, n, from, end, verified_end);
#endif
    default:
      return find_plain(plan, text, n, from, end, verified_end);
  }
}

}  // namespace qk

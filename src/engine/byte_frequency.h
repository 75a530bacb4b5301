// How common each byte is in text, so that the matcher's scan can test the
// rarest bytes of a search text first.
#pragma once

#include <cstdint>

namespace qk {

// Occurrences of `byte` per 100 million bytes of typical text; with
// `ignore_case`, of either case of a letter.
uint32_t byte_frequency(uint8_t byte, bool ignore_case);

}  // namespace qk

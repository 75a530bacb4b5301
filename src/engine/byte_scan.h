// Fast forward scans for one byte, or for one letter in either case. These
// are the inner loops of the matcher, so they use the widest vector
// instructions the processor offers.
#pragma once

#include <cstdint>

namespace qk {

// First position in [from, to) holding `byte`, or nullptr.
const uint8_t* scan_for_byte(const uint8_t* from, const uint8_t* to, uint8_t byte);

// First position in [from, to) holding the lower-case letter `lower` or its
// upper case, or nullptr.
const uint8_t* scan_for_letter(const uint8_t* from, const uint8_t* to, uint8_t lower);

// How common a byte is in text (0 rare .. 255 common); the matcher anchors
// its scan on the rarest byte of the search text.
int byte_frequency(uint8_t byte, bool ignore_case);

}  // namespace qk

// The journal's checksum: fast enough to run over every byte a rewrite
// keeps, strong enough to tell a record that was cut short or damaged, or
// bytes that are not the ones a record expects, from the right ones. It is
// no defence against someone who forges a journal on purpose; the journal
// refuses files it does not own for that.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qk {

uint64_t checksum(const void* data, size_t size, uint64_t seed);

}  // namespace qk

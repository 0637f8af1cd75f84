// Unaligned, alias-safe views of whole pixels and 16-bit channels. Rows of
// CHUNK buffers need not start on a boundary that suits the wide types, and
// the pixels were written through other types; kernels that move a pixel as
// one 32- or 64-bit value read and write through these.
#pragma once

#include <cstdint>

namespace qel {

typedef std::uint16_t __attribute__((may_alias, aligned(1))) WordU;
typedef std::uint32_t __attribute__((may_alias, aligned(1))) PixelU32;
typedef std::uint64_t __attribute__((may_alias, aligned(1))) PixelU64;

} // namespace qel

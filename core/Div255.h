// Exact floor division by 255 of an 8-bit product, without a divide.
#pragma once

#include <cstdint>

namespace qel {

// floor(x / 255) for every x in [0, 255 * 255] (every product of two bytes);
// tests/cpp/div255.cpp proves it over that whole range.
inline constexpr std::uint32_t Div255(std::uint32_t x)
{
    return (x + 1 + (x >> 8)) >> 8;
}

// floor(x / 255) for every x in [0, 65535 * 255] (a 16-bit channel times a
// byte), in 32-bit lanes: with y = x + 1 it is floor(y * 65793 / 2^24),
// folded so no intermediate passes 2^32 (y * 257 + y / 256 stays below it
// for the whole range). tests/cpp/mask_div255_wide.cpp proves it.
inline constexpr std::uint32_t Div255Wide(std::uint32_t x)
{
    const std::uint32_t y = x + 1;
    return ((y << 8) + y + (y >> 8)) >> 16;
}

} // namespace qel

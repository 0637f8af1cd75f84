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

} // namespace qel

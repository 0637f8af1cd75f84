// Checks qel::Div255Wide against a real division over its whole domain, and
// that the 8-bit form agrees with it where both apply.
#include <cstdio>

#include "Div255.h"

int main()
{
    for (unsigned x = 0; x <= 65535u * 255u; ++x) {
        if (qel::Div255Wide(x) != x / 255) {
            std::printf("Div255Wide(%u) = %u, expected %u\n", x, qel::Div255Wide(x), x / 255);
            return 1;
        }
    }
    static_assert(qel::Div255Wide(65535u * 255u) == 65535u, "top of the range");
    return 0;
}

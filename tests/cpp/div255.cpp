// Checks qel::Div255 against a real division over its whole domain.
#include <cstdio>

#include "Div255.h"

int main()
{
    for (unsigned x = 0; x <= 255u * 255u; ++x) {
        if (qel::Div255(x) != x / 255) {
            std::printf("Div255(%u) = %u, expected %u\n", x, qel::Div255(x), x / 255);
            return 1;
        }
    }
    return 0;
}

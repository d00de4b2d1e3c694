#include "nn/pcg32.h"

#include <cmath>

void seedFromClock(Pcg32& rng, int64_t clockSeconds) {
    const uint64_t low = static_cast<uint32_t>(clockSeconds);
    rng.state = low * 0x100000001ULL;
}

float nextNormal(Pcg32& rng) {
    for (;;) {
        const uint32_t output = nextU32(rng);
        if (static_cast<uint32_t>(output + 1u) < 2u) continue;
        const float u = unitFromU32(output);
        // 128 outputs below the top round to exactly 1.0; their logit would be
        // an infinite initial weight that poisons the whole network.
        if (u == 1.0f) continue;
        const float t = 1.0f / u - 1.0f;
        return kNormalScale * static_cast<float>(std::log(static_cast<double>(t)));
    }
}

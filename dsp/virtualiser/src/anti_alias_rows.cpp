// The converter's low-pass rows as single-precision constants. Row 0 is the half-band
// design: its a1 and a3 are exactly 0.
#include "dsp/virtualiser/engine_resampler.h"

const LpvAntiAliasRow LPV_ANTI_ALIAS_ROWS[LPV_ANTI_ALIAS_ROW_COUNT] = {
    {{0.166666672f, 0.5f, 0.5f, 0.166666672f}, {1.0f, 0.0f, 0.333333343f, 0.0f}},
    {{0.0638559237f, 0.191567779f, 0.191567779f, 0.0638559237f}, {1.0f, -0.965779722f, 0.582644165f, -0.106017053f}},
    {{0.0316893421f, 0.0950680301f, 0.0950680301f, 0.0316893421f}, {1.0f, -1.45902908f, 0.910368979f, -0.197825193f}},
};

// Chip class A level arithmetic: the volume curve of the render unit and the scaling of
// the analog and record units. The devices report these units in 1/256 dB like every
// class volume, but the analog and record units count in other steps (the analog units in
// 1/3 of the class step below 0 dB, the record units in 8/3 of it), and the render unit
// follows a curve that makes the first decibels finer. Nodes see 16.16 fixed-point
// decibels throughout.
#pragma once

#include "kernel/nt.h"

namespace uac {

// The curve: row k has the device level -k dB (-256 k in 1/256 dB) and the KS level of
// the table, 0 to -37 dB of device level.
inline constexpr ULONG kChipACurveRows = 38;
// The KS level of a row, in 1/256 dB; 0 past the table.
SHORT ChipACurveKsLevel(ULONG Row);
// Device level (1/256 dB) to KS level (1/256 dB): the first row k from 1 whose device level
// lies below the value gives row k - 1's KS level; at or below -37 dB the value passes
// unchanged.
LONG ChipACurveToKs(SHORT Device);
// KS level (1/256 dB) to device level: the first row whose KS level is at or below the
// value. The last row's KS level is the 16-bit minimum, so every value finds one.
SHORT ChipACurveToDevice(SHORT Ks);

// How a chip A feature unit turns its device levels into node levels.
enum class ChipALevelScale {
  Plain,  // the class's 1/256 dB
  Curve,  // the render unit's curve
  Unit9,  // analog units: x 3/2 below 0 dB, x 3 from 0 dB up
  Unit2,  // record units: x 3/8 below 0 dB, x 3 from 0 dB up
};

// A current value read from the device (16.16 dB, as the class read gives it) to the node
// level; minus infinity stays.
LONG ChipAScaleRead(ChipALevelScale Scale, LONG Level);
// A node level to the 16.16 value the class write sends; minus infinity stays. Computed
// in 64 bits, so no level the node holds overflows.
LONG ChipAScaleWrite(ChipALevelScale Scale, LONG Level);
// A range bound read from the device (signed 16-bit, 1/256 dB) to the node's 16.16 bound.
// The multiplication is done in 32 bits: the bound of a unit whose raw maximum lies above
// 42.6 dB would wrap in 16 bits and put the maximum below the minimum.
LONG ChipAScaleRangeBound(ChipALevelScale Scale, SHORT Raw);

}  // namespace uac

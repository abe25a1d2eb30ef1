#include "uac/chip_a_volume.h"

#include "uac/control_interfaces.h"

namespace uac {
namespace {

// KS level of each curve row, 1/256 dB.
constexpr SHORT kCurveKs[kChipACurveRows] = {
    0,     -62,   -128,  -192,  -263,  -331,  -402,  -477,  -556,  -638,  -717,  -804,  -894,
    -989,  -1088, -1188, -1298, -1411, -1529, -1657, -1785, -1920, -2082, -2240, -2420, -2612,
    -2816, -3072, -3303, -3584, -3917, -4301, -4788, -5402, -6221, -7578, -8500, -32768,
};

constexpr LONG CurveDevice(ULONG row) { return -256 * static_cast<LONG>(row); }

// Truncated toward zero, as the scaling is defined.
LONGLONG Scaled(LONGLONG value, LONGLONG numerator, LONGLONG denominator) { return value * numerator / denominator; }

LONG Saturate(LONGLONG value) {
  if (value > 0x7FFFFFFF) return 0x7FFFFFFF;
  if (value < -0x7FFFFFFF) return -0x7FFFFFFF;  // never the minus-infinity pattern
  return static_cast<LONG>(value);
}

}  // namespace

SHORT ChipACurveKsLevel(ULONG Row) { return Row < kChipACurveRows ? kCurveKs[Row] : 0; }

LONG ChipACurveToKs(SHORT Device) {
  for (ULONG k = 1; k < kChipACurveRows; ++k)
    if (CurveDevice(k) < Device) return kCurveKs[k - 1];
  return Device;
}

SHORT ChipACurveToDevice(SHORT Ks) {
  for (ULONG k = 0; k < kChipACurveRows; ++k)
    if (kCurveKs[k] <= Ks) return static_cast<SHORT>(CurveDevice(k));
  return static_cast<SHORT>(CurveDevice(kChipACurveRows - 1));  // not reached: the last row is the minimum
}

LONG ChipAScaleRead(ChipALevelScale Scale, LONG Level) {
  if (Level == kLevelMinusInfinity) return Level;
  switch (Scale) {
    case ChipALevelScale::Plain:
      return Level;
    case ChipALevelScale::Curve:
      return ChipACurveToKs(static_cast<SHORT>(Level >> 8)) * 256;
    case ChipALevelScale::Unit9:
      return Saturate(Level < 0 ? Scaled(Level, 3, 2) : Scaled(Level, 3, 1));
    case ChipALevelScale::Unit2:
      return Saturate(Level < 0 ? Scaled(Level, 3, 8) : Scaled(Level, 3, 1));
  }
  return Level;
}

LONG ChipAScaleWrite(ChipALevelScale Scale, LONG Level) {
  if (Level == kLevelMinusInfinity) return Level;
  switch (Scale) {
    case ChipALevelScale::Plain:
      return Level;
    case ChipALevelScale::Curve:
      return static_cast<LONG>(ChipACurveToDevice(static_cast<SHORT>(Level >> 8))) * 256;
    case ChipALevelScale::Unit9:
      return Saturate(Level < 0 ? Scaled(Level, 2, 3) : Scaled(Level, 1, 3));
    case ChipALevelScale::Unit2:
      return Saturate(Level < 0 ? Scaled(Level, 8, 3) : Scaled(Level, 1, 3));
  }
  return Level;
}

LONG ChipAScaleRangeBound(ChipALevelScale Scale, SHORT Raw) {
  LONG value = Raw;
  switch (Scale) {
    case ChipALevelScale::Plain:
      break;
    case ChipALevelScale::Curve:
      value = ChipACurveToKs(Raw);
      break;
    case ChipALevelScale::Unit9:
      value = Raw < 0 ? Raw * 3 / 2 : Raw * 3;
      break;
    case ChipALevelScale::Unit2:
      value = Raw < 0 ? Raw * 3 / 8 : Raw * 3;
      break;
  }
  return value * 256;
}

}  // namespace uac

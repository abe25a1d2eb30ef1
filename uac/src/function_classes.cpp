#include "uac/function_classes.h"

#include "adapter/audio_class.h"
#include "uac/chip_a_function.h"
#include "uac/chip_bc_function.h"
#include "uac/uac1_function.h"
#include "uac/uac2_function.h"

namespace uac {
namespace {

using adapter::FunctionClass;
using adapter::kProtocolUac1;
using adapter::kProtocolUac2;

// Chip A's model string starts with these three units rather than text.
constexpr char16_t kChipAUnits[] = {0x000B, 0x0005, 0x0050};

constexpr adapter::FunctionRow kFunctionRows[] = {
    {kProtocolUac2, nullptr, 0, 0, FunctionClass::Uac2},
    {kProtocolUac1, kChipAUnits, 3, 0, FunctionClass::ChipA},
    {kProtocolUac1, u"7403", 4, 0, FunctionClass::ChipB},
    {kProtocolUac1, u"7415", 4, 0, FunctionClass::ChipC},
    {kProtocolUac1, u"QVK712", 6, (1u << 5) | (1u << 6), FunctionClass::ChipD},
    {kProtocolUac1, nullptr, 0, 0, FunctionClass::Uac1},
};

}  // namespace

const adapter::FunctionRow* FunctionClassRows(ULONG* Count) {
  if (Count) *Count = sizeof kFunctionRows / sizeof kFunctionRows[0];
  return kFunctionRows;
}

void RegisterFunctionFactories() {
  ULONG count = 0;
  const adapter::FunctionRow* rows = FunctionClassRows(&count);
  adapter::SetFunctionRows(rows, count, nullptr);
  adapter::SetFunctionFactory(FunctionClass::Uac1, CreateUac1Function);
  adapter::SetFunctionFactory(FunctionClass::Uac2, CreateUac2Function);
  adapter::SetFunctionFactory(FunctionClass::ChipA, CreateChipAFunction);
  adapter::SetFunctionFactory(FunctionClass::ChipB, CreateChipBFunction);
  adapter::SetFunctionFactory(FunctionClass::ChipC, CreateChipCFunction);
}

}  // namespace uac

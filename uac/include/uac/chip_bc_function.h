// CChipBFunction and CChipCFunction: the UAC 1.0 functions of chip classes B and C. Their
// probes take the capability template from the quirk table's rows for the model families
// ("7403", "7415"), then build the model with units of their own: single-node terminals
// and, by bUnitID, the feature units that translate the chips' volume scales
// (chip_bc_feature_units.h). Chip C's headphone jack is declared as a speaker on one
// maker's devices; the builder rewrites that terminal's type in the descriptor first.
//
// Neither answers IUacFunction: the root device object keeps no function interface for
// them, and nothing switches their terminals' kinds.
#pragma once

#include "uac/uac1_function.h"
#include "uac/uac_unit.h"

namespace uac {

class CChipBcFunction : public CUac1Function {
 public:
  CChipBcFunction(PUNKNOWN outerUnknown, const adapter::FunctionContext& Context, const UnitClassRow* Units,
                  ULONG UnitCount);

  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;
  // The UAC 1.0 walk and checks with the chip's unit classes; no product checks follow.
  STDMETHODIMP BuildUnits(PUSB_INTERFACE_DESCRIPTOR ControlInterface, ULONG Bytes) override;
  // The template from the quirk rows, the control and stream builders, AfterProbe; the
  // first failure ends it.
  STDMETHODIMP ProbeDevice() override;

 protected:
  NTSTATUS CreateUnitAt(ULONG Offset, PUCHAR Descriptor, CUacUnit** Unit) override;

 private:
  const UnitClassRow* m_pUnits;
  ULONG m_nUnits;
};

class CChipBFunction : public CChipBcFunction {
 public:
  CChipBFunction(PUNKNOWN outerUnknown, const adapter::FunctionContext& Context);
  STDMETHODIMP_(const char*) GetClassName() override { return "USB Audio Class 1.0, chip class B"; }
};

class CChipCFunction : public CChipBcFunction {
 public:
  CChipCFunction(PUNKNOWN outerUnknown, const adapter::FunctionContext& Context);
  STDMETHODIMP_(const char*) GetClassName() override { return "USB Audio Class 1.0, chip class C"; }
};

// The factories: zeroed non-paged pool under "7403" and "7415", aggregated under
// `OuterUnknown`.
NTSTATUS CreateChipBFunction(PUNKNOWN* Unknown, PUNKNOWN OuterUnknown, const adapter::FunctionContext& Context);
NTSTATUS CreateChipCFunction(PUNKNOWN* Unknown, PUNKNOWN OuterUnknown, const adapter::FunctionContext& Context);

}  // namespace uac

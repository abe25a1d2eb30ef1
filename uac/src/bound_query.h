// Interface lookup on a unit, shared by the bound node sources.
#pragma once

#include "adapter/object_model.h"
#include "adapter/ref_list.h"

namespace uac::bound {

// Queries `unit` for an interface; the caller releases it.
template <class Interface>
NTSTATUS Query(PUNKNOWN unit, REFIID iid, Interface** out) {
  *out = nullptr;
  if (!unit) return STATUS_INVALID_PARAMETER;
  PVOID itf = nullptr;
  NTSTATUS status = unit->QueryInterface(iid, &itf);
  if (NT_SUCCESS(status) && !itf) status = STATUS_UNSUCCESSFUL;
  if (NT_SUCCESS(status)) *out = static_cast<Interface*>(itf);
  return status;
}

// Releases an interface at the end of a scope.
template <class Interface>
using Ref = adapter::ScopedRelease<Interface>;

}  // namespace uac::bound

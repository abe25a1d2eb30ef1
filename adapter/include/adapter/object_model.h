// The driver's object model on the reference-counted base of kernel/unknown.h: every
// class derives from CUnknown and from one interface per implemented interface, answers
// interface queries by 16-byte IDs and is made by a factory named Create<Class> that
// allocates zeroed non-paged pool under the class's tag.
#pragma once

#include <utility>

#include "kernel/nt.h"

namespace adapter {

// Hands out `itf` from a NonDelegatingQueryInterface with one reference added through it.
template <class Interface>
NTSTATUS ReturnInterface(Interface* itf, PVOID* object) {
  *object = itf;
  itf->AddRef();
  return STATUS_SUCCESS;
}

// Factory body: allocates a zeroed T from `pool` under `tag`, constructs it with the outer
// unknown (null: the object is its own) and the class's values, adds one reference through
// the interface handed out and stores it in *out. Allocation failure gives
// STATUS_INSUFFICIENT_RESOURCES and a null *out.
template <class T, class Interface, class... Args>
NTSTATUS CreateInstance(Interface** out, PUNKNOWN outerUnknown, POOL_TYPE pool, ULONG tag, Args&&... args) {
  if (!out) return STATUS_INVALID_PARAMETER;
  *out = nullptr;
  T* object = new (pool, tag) T(outerUnknown, std::forward<Args>(args)...);
  if (!object) return STATUS_INSUFFICIENT_RESOURCES;
  Interface* itf = static_cast<Interface*>(object);
  itf->AddRef();
  *out = itf;
  return STATUS_SUCCESS;
}

// The same for an object that is to be aggregated: hands out its non-delegating unknown
// (one reference on the object itself), which the aggregating object keeps and releases.
template <class T, class... Args>
NTSTATUS CreateNonDelegatingInstance(PUNKNOWN* out, PUNKNOWN outerUnknown, POOL_TYPE pool, ULONG tag,
                                     Args&&... args) {
  if (!out) return STATUS_INVALID_PARAMETER;
  *out = nullptr;
  T* object = new (pool, tag) T(outerUnknown, std::forward<Args>(args)...);
  if (!object) return STATUS_INSUFFICIENT_RESOURCES;
  PUNKNOWN unknown = object->NonDelegatingUnknown();
  unknown->AddRef();
  *out = unknown;
  return STATUS_SUCCESS;
}

}  // namespace adapter

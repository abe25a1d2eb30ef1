// Creates the named callback object of an audio-layer object: the name is `format`
// ("\Callback\AudioHalAddr%p" and the like) with the object's address, formatted into
// `nameBuffer`; the object is created when absent and takes several registrations.
#pragma once

#include "kernel/nt.h"

namespace adapter {

inline NTSTATUS CreateNamedCallback(PCWSTR format, const void* address, PWSTR nameBuffer, SIZE_T nameBytes,
                                    PCALLBACK_OBJECT* object) {
  NTSTATUS status = RtlStringCbPrintfW(nameBuffer, nameBytes, format, address);
  if (!NT_SUCCESS(status)) return status;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, nameBuffer);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  return ExCreateCallback(object, &attributes, TRUE, TRUE);
}

}  // namespace adapter

// Values of the "Settings" subkey of the driver's software key: ASIO defaults, capability
// switches, stored control values and whatever the per-model INI file supplies.
#pragma once

#include "kernel/ntdef.h"

struct DEVICE_OBJECT;
using PDEVICE_OBJECT = DEVICE_OBJECT*;

constexpr ULONG SETTINGS_READ = 1;
constexpr ULONG SETTINGS_WRITE = 2;

// Longest value name SettingsIndexedValue builds, in characters.
constexpr ULONG SETTINGS_MAX_INDEXED_NAME = 49;

// Reads or writes one value of "Settings" (or of the sub-key below it when subKey is not
// null) of the device's driver key. Types REG_SZ, REG_BINARY and REG_DWORD only (others:
// STATUS_UNSUCCESSFUL). A read copies the stored bytes whatever their type; a stored value
// longer than size fails with STATUS_UNSUCCESSFUL and leaves data untouched; a missing one
// gives STATUS_OBJECT_NAME_NOT_FOUND. PASSIVE_LEVEL.
//
// Kept as designed: a stored value shorter than size is copied over the start of data and
// the read succeeds; the rest of the buffer keeps what the caller put there and the stored
// length is not reported, so callers preset the buffer to their default. Callers that need
// an exact size (the root device's ASIO bit depth, latency and sample rate) cannot tell a
// short value from a whole one through this routine and need the stored length as well.
NTSTATUS SettingsValue(PDEVICE_OBJECT DeviceObject, ULONG Operation, PCWSTR SubKey, PCWSTR Name, ULONG Type,
                       PVOID Data, ULONG Size);
// REG_BINARY in "Settings" itself.
NTSTATUS SettingsBinaryValue(PDEVICE_OBJECT DeviceObject, ULONG Operation, PVOID Data, ULONG Size, PCWSTR Name);
// REG_BINARY in "Settings" under the name "%s%d" of prefix and index; a name longer than
// SETTINGS_MAX_INDEXED_NAME characters gives STATUS_INVALID_PARAMETER.
NTSTATUS SettingsIndexedValue(PDEVICE_OBJECT DeviceObject, ULONG Operation, PVOID Data, ULONG Size, PCWSTR Prefix,
                              ULONG Index);

// StreamClientRecord: one client attached to a stream engine (the WaveCyclic stream at
// priority 3, the ASIO client at priority 5), and CClientList, the engine's list of such
// records. The engine owns a record from RegisterClient to UnregisterClient; the lists only
// link it. A list orders by priority, highest first, and a record inserted by priority
// goes before the first record of equal or lower priority, so among equal priorities the
// one inserted last comes first. The lists read only a record's priority and key.
#pragma once

#include "adapter/ptr_list.h"
#include "kernel/nt.h"
#include "portcls/ksmedia.h"

namespace adapter {

struct StreamClientRecord {
  ULONGLONG Priority;  // a u32 priority in a 64-bit slot; higher wins the device
  ULONGLONG Key;       // the client's callback registration handle, naming it in every call
  ULONG MsPerUrb;      // what the client asked for
  ULONG UrbsInFlight;
  WAVEFORMATEXTENSIBLE Format;
  ULONG Direction;  // the engine's direction when the client registered
  UCHAR Started;    // 1 while the client is started
};
using PSTREAMCLIENTRECORD = StreamClientRecord*;

// A CPtrList of client records; no lock of its own (the engine's list lock guards it).
class CClientList : public CPtrList {
 public:
  // Appends; false (list unchanged) when no node could be had.
  bool Append(StreamClientRecord* Record) { return AddTail(Record) != nullptr; }
  // Inserts by priority (see above). No node: the list is unchanged and the status is
  // STATUS_INVALID_PARAMETER when the walk stopped at a record of equal priority, else
  // STATUS_INSUFFICIENT_RESOURCES.
  NTSTATUS InsertByPriority(StreamClientRecord* Record);
  // The record with the key, or null.
  StreamClientRecord* Find(ULONGLONG Key) const;
  // Unlinks and returns the record with the key, or null.
  StreamClientRecord* Remove(ULONGLONG Key);
  // The first record, or null.
  StreamClientRecord* Head() const;

 private:
  POSITION PositionOf(ULONGLONG Key) const;
};

}  // namespace adapter

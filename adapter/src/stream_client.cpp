#include "adapter/stream_client.h"

namespace adapter {
namespace {

// Priorities compare as the unsigned 32-bit numbers the clients give.
ULONG PriorityOf(const StreamClientRecord* Record) { return static_cast<ULONG>(Record->Priority); }

}  // namespace

NTSTATUS CClientList::InsertByPriority(StreamClientRecord* Record) {
  if (!Record) return STATUS_INVALID_PARAMETER;
  const ULONG priority = PriorityOf(Record);
  POSITION position = GetHeadPosition();
  while (position && PriorityOf(static_cast<StreamClientRecord*>(position->data)) > priority)
    position = position->next;
  const bool equal = position && PriorityOf(static_cast<StreamClientRecord*>(position->data)) == priority;
  const POSITION added = position ? InsertBefore(position, Record) : AddTail(Record);
  if (added) return STATUS_SUCCESS;
  return equal ? STATUS_INVALID_PARAMETER : STATUS_INSUFFICIENT_RESOURCES;
}

POSITION CClientList::PositionOf(ULONGLONG Key) const {
  for (POSITION position = GetHeadPosition(); position; position = position->next) {
    if (static_cast<StreamClientRecord*>(position->data)->Key == Key) return position;
  }
  return nullptr;
}

StreamClientRecord* CClientList::Find(ULONGLONG Key) const {
  const POSITION position = PositionOf(Key);
  return position ? static_cast<StreamClientRecord*>(position->data) : nullptr;
}

StreamClientRecord* CClientList::Remove(ULONGLONG Key) {
  const POSITION position = PositionOf(Key);
  if (!position) return nullptr;
  auto* record = static_cast<StreamClientRecord*>(position->data);
  RemoveAt(position);
  return record;
}

StreamClientRecord* CClientList::Head() const {
  PVOID data = nullptr;
  return GetHead(&data) ? static_cast<StreamClientRecord*>(data) : nullptr;
}

}  // namespace adapter

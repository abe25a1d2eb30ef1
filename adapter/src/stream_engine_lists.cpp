// The stream engine's client lists and the effect lists of processing objects that
// clients hand over, each changed and read under the engine's list lock.
#include "adapter/dsp_node.h"
#include "adapter/stream_engine.h"

namespace adapter {

KIRQL CStreamEngine::LockLists() {
  // The processing hook holds the lock at DISPATCH_LEVEL already; other callers run
  // lower and are raised for the time they hold it.
  if (KeGetCurrentIrql() >= DISPATCH_LEVEL) {
    KeAcquireSpinLockAtDpcLevel(&m_ListLock);
    return DISPATCH_LEVEL;
  }
  KIRQL previous;
  KeAcquireSpinLock(&m_ListLock, &previous);
  return previous;
}

void CStreamEngine::UnlockLists(KIRQL Previous) {
  if (Previous >= DISPATCH_LEVEL) {
    KeReleaseSpinLockFromDpcLevel(&m_ListLock);
  } else {
    KeReleaseSpinLock(&m_ListLock, Previous);
  }
}

NTSTATUS CStreamEngine::AddRegistered(PSTREAMCLIENTRECORD Record) {
  if (!Record) return STATUS_INVALID_PARAMETER;
  if (!m_pRegisteredList) return STATUS_UNSUCCESSFUL;
  const KIRQL irql = LockLists();
  const bool added = m_pRegisteredList->Append(Record);
  UnlockLists(irql);
  return added ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS CStreamEngine::InsertPrepared(PSTREAMCLIENTRECORD Record) {
  if (!Record) return STATUS_INVALID_PARAMETER;
  if (!m_pPreparedList) return STATUS_UNSUCCESSFUL;
  const KIRQL irql = LockLists();
  const NTSTATUS status = m_pPreparedList->InsertByPriority(Record);
  UnlockLists(irql);
  return status;
}

NTSTATUS CStreamEngine::InsertRunning(PSTREAMCLIENTRECORD Record) {
  if (!Record) return STATUS_INVALID_PARAMETER;
  if (!m_pRunningList) return STATUS_UNSUCCESSFUL;
  const KIRQL irql = LockLists();
  const NTSTATUS status = m_pRunningList->InsertByPriority(Record);
  UnlockLists(irql);
  return status;
}

PSTREAMCLIENTRECORD CStreamEngine::ClientListOp(CClientList* List, ClientOp Op, ULONGLONG Key) {
  if (!List) return nullptr;
  const KIRQL irql = LockLists();
  PSTREAMCLIENTRECORD record = Op == ClientOp::Find     ? List->Find(Key)
                               : Op == ClientOp::Remove ? List->Remove(Key)
                                                        : List->Head();
  UnlockLists(irql);
  return record;
}

PSTREAMCLIENTRECORD CStreamEngine::FindRegistered(ULONGLONG Key) {
  return ClientListOp(m_pRegisteredList, ClientOp::Find, Key);
}
PSTREAMCLIENTRECORD CStreamEngine::RemoveRegistered(ULONGLONG Key) {
  return ClientListOp(m_pRegisteredList, ClientOp::Remove, Key);
}
PSTREAMCLIENTRECORD CStreamEngine::FindPrepared(ULONGLONG Key) {
  return ClientListOp(m_pPreparedList, ClientOp::Find, Key);
}
PSTREAMCLIENTRECORD CStreamEngine::RemovePrepared(ULONGLONG Key) {
  return ClientListOp(m_pPreparedList, ClientOp::Remove, Key);
}
PSTREAMCLIENTRECORD CStreamEngine::GetPreparedHead() { return ClientListOp(m_pPreparedList, ClientOp::Head, 0); }
PSTREAMCLIENTRECORD CStreamEngine::FindRunning(ULONGLONG Key) {
  return ClientListOp(m_pRunningList, ClientOp::Find, Key);
}
PSTREAMCLIENTRECORD CStreamEngine::GetRunningHead() { return ClientListOp(m_pRunningList, ClientOp::Head, 0); }
PSTREAMCLIENTRECORD CStreamEngine::RemoveRunning(ULONGLONG Key) {
  return ClientListOp(m_pRunningList, ClientOp::Remove, Key);
}

NTSTATUS CStreamEngine::AddEffectNode(CRefList<IDspNode>* List, IDspNode* Node) {
  if (!Node) return STATUS_INVALID_PARAMETER;
  if (!List) return STATUS_UNSUCCESSFUL;
  const KIRQL irql = LockLists();
  const bool added = List->Add(Node);
  UnlockLists(irql);
  return added ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS CStreamEngine::RemoveEffectNode(CRefList<IDspNode>* List, IDspNode* Node) {
  if (!Node) return STATUS_INVALID_PARAMETER;
  if (!List) return STATUS_UNSUCCESSFUL;
  bool found = false;
  const KIRQL irql = LockLists();
  for (POSITION position = List->GetHeadPosition(); position; position = position->next) {
    if (position->data == Node) {
      List->RemoveAt(position);
      found = true;
      break;
    }
  }
  UnlockLists(irql);
  // Released outside the lock: a last reference may run a destructor that must not run
  // at DISPATCH_LEVEL.
  if (!found) return STATUS_UNSUCCESSFUL;
  Node->Release();
  return STATUS_SUCCESS;
}

void CStreamEngine::DrainEffectNodes(CRefList<IDspNode>* List) {
  if (!List) return;
  for (;;) {
    PVOID data = nullptr;
    const KIRQL irql = LockLists();
    const bool taken = List->RemoveHead(&data);
    UnlockLists(irql);
    if (!taken) return;
    static_cast<IDspNode*>(data)->Release();
  }
}

NTSTATUS CStreamEngine::AddFirstEffectNode(IDspNode* Node) { return AddEffectNode(m_pFirstEffectList, Node); }
NTSTATUS CStreamEngine::AddSecondEffectNode(IDspNode* Node) { return AddEffectNode(m_pSecondEffectList, Node); }
NTSTATUS CStreamEngine::RemoveFirstEffectNode(IDspNode* Node) { return RemoveEffectNode(m_pFirstEffectList, Node); }
NTSTATUS CStreamEngine::RemoveSecondEffectNode(IDspNode* Node) {
  return RemoveEffectNode(m_pSecondEffectList, Node);
}
void CStreamEngine::DrainFirstEffectNodes() { DrainEffectNodes(m_pFirstEffectList); }
void CStreamEngine::DrainSecondEffectNodes() { DrainEffectNodes(m_pSecondEffectList); }

}  // namespace adapter

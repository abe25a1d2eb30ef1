// Service groups: a set of service sinks serviced together when a stream notifies.
#include <algorithm>
#include <mutex>
#include <vector>

#include "kernel/ke.h"
#include "private.h"

namespace platform::portcls {
namespace {

constexpr ULONG kServiceGroupTag = MakePoolTag('P', 'c', 'S', 'g');

class CServiceGroup final : public CUnknown, public IServiceGroup {
 public:
  explicit CServiceGroup(PUNKNOWN outer) : CUnknown(outer) { KeInitializeDpc(&m_Dpc, ServiceDpc, this); }
  ~CServiceGroup() override {
    for (PSERVICESINK sink : m_Members) sink->Release();
  }
  DECLARE_STD_UNKNOWN();

  // Queues the group's DPC, which services every member at DISPATCH_LEVEL. Requests made
  // while the DPC is queued are served by that one run. The queued DPC holds a reference.
  STDMETHODIMP_(void) RequestService() override {
    NonDelegatingAddRef();
    if (!KeInsertQueueDpc(&m_Dpc, nullptr, nullptr)) NonDelegatingRelease();
  }

  // Services every member. Members are taken out under the lock and serviced outside
  // it, so a sink may add or remove members while it runs.
  void ServiceMembers() {
    std::vector<PSERVICESINK> members;
    {
      std::lock_guard<std::mutex> guard(m_Lock);
      members = m_Members;
      for (PSERVICESINK sink : members) sink->AddRef();
    }
    for (PSERVICESINK sink : members) {
      sink->RequestService();
      sink->Release();
    }
  }
  STDMETHODIMP AddMember(PSERVICESINK ServiceSink) override {
    if (!ServiceSink) return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(m_Lock);
    ServiceSink->AddRef();
    m_Members.push_back(ServiceSink);
    return STATUS_SUCCESS;
  }
  STDMETHODIMP_(void) RemoveMember(PSERVICESINK ServiceSink) override {
    PSERVICESINK removed = nullptr;
    {
      std::lock_guard<std::mutex> guard(m_Lock);
      auto it = std::find(m_Members.begin(), m_Members.end(), ServiceSink);
      if (it == m_Members.end()) return;
      removed = *it;
      m_Members.erase(it);
    }
    removed->Release();
  }
  STDMETHODIMP_(void) SupportDelayedService() override {}
  // There is no timer behind delayed service: the group is serviced without the delay.
  STDMETHODIMP_(void) RequestDelayedService(ULONGLONG) override { RequestService(); }
  STDMETHODIMP_(void) CancelDelayedService() override {}

 private:
  static VOID ServiceDpc(KDPC*, PVOID context, PVOID, PVOID) {
    auto* group = static_cast<CServiceGroup*>(context);
    group->ServiceMembers();
    group->NonDelegatingRelease();
  }

  KDPC m_Dpc;
  std::mutex m_Lock;
  std::vector<PSERVICESINK> m_Members;
};

STDMETHODIMP CServiceGroup::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  if (IsEqualGUID(iid, IID_IServiceGroup) || IsEqualGUID(iid, IID_IServiceSink)) {
    *object = static_cast<IServiceGroup*>(this);
    NonDelegatingAddRef();
    return STATUS_SUCCESS;
  }
  return CUnknown::NonDelegatingQueryInterface(iid, object);
}

}  // namespace
}  // namespace platform::portcls

NTSTATUS PcNewServiceGroup(PSERVICEGROUP* OutServiceGroup, PUNKNOWN OuterUnknown) {
  using platform::portcls::CServiceGroup;
  if (!OutServiceGroup) return STATUS_INVALID_PARAMETER;
  *OutServiceGroup = nullptr;
  auto* group = new (NonPagedPool, platform::portcls::kServiceGroupTag) CServiceGroup(OuterUnknown);
  if (!group) return STATUS_INSUFFICIENT_RESOURCES;
  group->NonDelegatingAddRef();
  *OutServiceGroup = group;
  return STATUS_SUCCESS;
}

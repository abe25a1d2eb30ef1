// Adapter-level PortCls functions: power-management registration, resource lists, DRM
// content forwarding, registry keys and device properties.
#include <mutex>
#include <vector>

#include "kernel/verifier.h"
#include "portcls/pcplatform.h"
#include "private.h"

namespace platform::portcls {
namespace {

struct PowerRecord {
  PDEVICE_OBJECT device;
  PADAPTERPOWERMANAGEMENT power;  // one reference
};

struct AdapterState {
  std::mutex lock;
  std::vector<PowerRecord> power;
  std::vector<ForwardedContent> forwarded;
};

AdapterState& State() {
  static AdapterState* state = new AdapterState;
  return *state;
}

constexpr ULONG kResourceListTag = MakePoolTag('P', 'c', 'R', 'l');

// A resource list without hardware resources (a USB function gets none).
class CResourceList final : public CUnknown, public IResourceList {
 public:
  CResourceList(PUNKNOWN outer, PCM_RESOURCE_LIST translated, PCM_RESOURCE_LIST untranslated)
      : CUnknown(outer), m_Translated(translated), m_Untranslated(untranslated) {}
  DECLARE_STD_UNKNOWN();
  STDMETHODIMP_(ULONG) NumberOfEntries() override { return 0; }
  STDMETHODIMP_(ULONG) NumberOfEntriesOfType(CM_RESOURCE_TYPE) override { return 0; }
  STDMETHODIMP_(PCM_PARTIAL_RESOURCE_DESCRIPTOR) FindTranslatedEntry(CM_RESOURCE_TYPE, ULONG) override { return nullptr; }
  STDMETHODIMP_(PCM_PARTIAL_RESOURCE_DESCRIPTOR) FindUntranslatedEntry(CM_RESOURCE_TYPE, ULONG) override {
    return nullptr;
  }
  STDMETHODIMP AddEntry(PCM_PARTIAL_RESOURCE_DESCRIPTOR, PCM_PARTIAL_RESOURCE_DESCRIPTOR) override {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  STDMETHODIMP AddEntryFromParent(IResourceList*, CM_RESOURCE_TYPE, ULONG) override {
    return STATUS_INVALID_PARAMETER;
  }
  STDMETHODIMP_(PCM_RESOURCE_LIST) TranslatedList() override { return m_Translated; }
  STDMETHODIMP_(PCM_RESOURCE_LIST) UntranslatedList() override { return m_Untranslated; }

 private:
  PCM_RESOURCE_LIST m_Translated;
  PCM_RESOURCE_LIST m_Untranslated;
};

STDMETHODIMP CResourceList::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  if (IsEqualGUID(iid, IID_IResourceList)) {
    *object = static_cast<IResourceList*>(this);
    NonDelegatingAddRef();
    return STATUS_SUCCESS;
  }
  return CUnknown::NonDelegatingQueryInterface(iid, object);
}

}  // namespace

std::vector<ForwardedContent> ForwardedContents() {
  std::lock_guard<std::mutex> guard(State().lock);
  return State().forwarded;
}

void ClearForwardedContents() {
  std::lock_guard<std::mutex> guard(State().lock);
  State().forwarded.clear();
}

PADAPTERPOWERMANAGEMENT AdapterPowerManagement(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> guard(State().lock);
  for (const auto& record : State().power) {
    if (record.device == device) {
      record.power->AddRef();
      return record.power;
    }
  }
  return nullptr;
}

// Drops the adapter's power-management registration of a device (device removal).
void ForgetAdapterPowerManagement(PDEVICE_OBJECT device) {
  PADAPTERPOWERMANAGEMENT released = nullptr;
  {
    std::lock_guard<std::mutex> guard(State().lock);
    auto& list = State().power;
    for (auto it = list.begin(); it != list.end(); ++it) {
      if (it->device == device) {
        released = it->power;
        list.erase(it);
        break;
      }
    }
  }
  if (released) released->Release();
}

}  // namespace platform::portcls

using namespace platform::portcls;

NTSTATUS PcRegisterAdapterPowerManagement(PUNKNOWN Unknown, PVOID pvContext, const std::source_location& caller) {
  platform::verifier::RequireIrqlAtMost(PASSIVE_LEVEL, "PcRegisterAdapterPowerManagement", caller);
  if (!Unknown || !pvContext) return STATUS_INVALID_PARAMETER;
  PVOID object = nullptr;
  NTSTATUS status = Unknown->QueryInterface(IID_IAdapterPowerManagement, &object);
  if (!NT_SUCCESS(status)) return status;
  if (!object) return STATUS_INVALID_PARAMETER;
  auto* power = static_cast<PADAPTERPOWERMANAGEMENT>(object);
  auto device = static_cast<PDEVICE_OBJECT>(pvContext);
  PADAPTERPOWERMANAGEMENT previous = nullptr;
  {
    std::lock_guard<std::mutex> guard(State().lock);
    bool replaced = false;
    for (auto& record : State().power) {
      if (record.device == device) {
        previous = record.power;
        record.power = power;
        replaced = true;
      }
    }
    if (!replaced) State().power.push_back({device, power});
  }
  if (previous) previous->Release();
  return STATUS_SUCCESS;
}

NTSTATUS PcNewResourceList(PRESOURCELIST* OutResourceList, PUNKNOWN OuterUnknown, POOL_TYPE PoolType,
                           PCM_RESOURCE_LIST TranslatedResources, PCM_RESOURCE_LIST UntranslatedResources) {
  if (!OutResourceList) return STATUS_INVALID_PARAMETER;
  *OutResourceList = nullptr;
  auto* list = new (PoolType, kResourceListTag) CResourceList(OuterUnknown, TranslatedResources, UntranslatedResources);
  if (!list) return STATUS_INSUFFICIENT_RESOURCES;
  list->NonDelegatingAddRef();
  *OutResourceList = list;
  return STATUS_SUCCESS;
}

NTSTATUS PcForwardContentToDeviceObject(ULONG ContentId, PVOID Reserved, PCDRMFORWARD DrmForward) {
  if (Reserved || !DrmForward) return STATUS_INVALID_PARAMETER;
  if (DrmForward->Flags != DRMFORWARD_FLAGS_NONE) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::mutex> guard(State().lock);
  State().forwarded.push_back({ContentId, *DrmForward});
  return STATUS_SUCCESS;
}

namespace platform::portcls {

namespace {
struct DeviceLink {
  PDEVICE_OBJECT fdo;
  PDEVICE_OBJECT pdo;
};
std::mutex g_linkLock;
std::vector<DeviceLink> g_links;
}  // namespace

void RecordPhysicalDevice(PDEVICE_OBJECT fdo, PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> guard(g_linkLock);
  for (auto& link : g_links)
    if (link.fdo == fdo) {
      link.pdo = pdo;
      return;
    }
  g_links.push_back({fdo, pdo});
}

void ForgetPhysicalDevice(PDEVICE_OBJECT fdo) {
  std::lock_guard<std::mutex> guard(g_linkLock);
  for (auto it = g_links.begin(); it != g_links.end(); ++it)
    if (it->fdo == fdo) {
      g_links.erase(it);
      return;
    }
}

// The physical device object below an adapter's functional device; a device PortCls did
// not create is taken as the physical one itself.
PDEVICE_OBJECT PhysicalDeviceOf(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> guard(g_linkLock);
  for (const auto& link : g_links)
    if (link.fdo == device) return link.pdo;
  return device;
}

}  // namespace platform::portcls

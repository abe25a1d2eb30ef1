// A topology entity for tests of the audio-layer base classes: a real CUacEntity that
// records what the base classes call on it and answers the link interfaces a test gives
// it (selector links, engine links, the processing interface).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "adapter/audio_hal.h"
#include "adapter/node_interfaces.h"
#include "adapter/object_model.h"
#include "adapter/stream_engine.h"
#include "adapter/uac_entity.h"

namespace platform::testing {

inline constexpr ULONG kProbeEntityTag = MakePoolTag('T', 'e', 'n', 't');

enum ProbeAnswers : ULONG {
  ANSWER_STREAM_LINK = 1,
  ANSWER_CAPTURE_SWITCH = 2,
  ANSWER_CAPTURE_VENDOR_SWITCH = 4,
  ANSWER_RENDER_LINK = 8,
  ANSWER_DSP_NODE = 16,
};

class CProbeEntity : public adapter::CUacEntity,
                     public adapter::IStreamLink,
                     public adapter::ICaptureVendorSwitchNode,
                     public adapter::IRenderLink {
 public:
  CProbeEntity(PUNKNOWN outer, ULONG id, ULONG type, ULONG answers, std::vector<std::string>* log)
      : CUacEntity(outer, id, type), answers_(answers), log_(log) {}

  DECLARE_STD_UNKNOWN() {
    if (object) {
      if ((answers_ & ANSWER_STREAM_LINK) && IsEqualGUID(iid, adapter::IID_IStreamLink))
        return adapter::ReturnInterface<adapter::IStreamLink>(this, object);
      if ((answers_ & ANSWER_CAPTURE_SWITCH) && IsEqualGUID(iid, adapter::IID_ICaptureSwitchNode))
        return adapter::ReturnInterface<adapter::ICaptureSwitchNode>(this, object);
      if ((answers_ & ANSWER_CAPTURE_VENDOR_SWITCH) && IsEqualGUID(iid, adapter::IID_ICaptureVendorSwitchNode))
        return adapter::ReturnInterface<adapter::ICaptureSwitchNode>(this, object);
      if ((answers_ & ANSWER_RENDER_LINK) && IsEqualGUID(iid, adapter::IID_IRenderLink))
        return adapter::ReturnInterface<adapter::IRenderLink>(this, object);
      if ((answers_ & ANSWER_DSP_NODE) && IsEqualGUID(iid, adapter::IID_IDspNode))
        return adapter::ReturnInterface<adapter::IUacEntity>(this, object);
    }
    return CUacEntity::NonDelegatingQueryInterface(iid, object);
  }

  STDMETHODIMP RestoreToDevice() override {
    Log("restore");
    return restoreStatus;
  }
  STDMETHODIMP Start() override {
    Log("start");
    return STATUS_UNSUCCESSFUL;  // results are ignored by the callers
  }
  STDMETHODIMP Stop() override {
    Log("stop");
    return STATUS_UNSUCCESSFUL;
  }

  // IStreamLink
  STDMETHODIMP SelectionChanging(ULONG newInput, ULONG oldInput) override {
    Log("changing " + std::to_string(newInput) + " " + std::to_string(oldInput));
    return linkStatus;
  }
  STDMETHODIMP SetDirection(ULONG value) override {
    direction = value;
    Log("direction " + std::to_string(value));
    return linkStatus;
  }
  STDMETHODIMP SetPinIndex(ULONG value) override {
    pinIndex = value;
    Log("pin " + std::to_string(value));
    return linkStatus;
  }

  // Engine links
  STDMETHODIMP SetValue(ULONG) override { return STATUS_SUCCESS; }
  STDMETHODIMP GetValue(PULONG) override { return STATUS_SUCCESS; }
  STDMETHODIMP Reserved1() override { return STATUS_SUCCESS; }
  STDMETHODIMP Reserved2() override { return STATUS_SUCCESS; }
  STDMETHODIMP Reserved3() override { return STATUS_SUCCESS; }
  STDMETHODIMP Reserved4() override { return STATUS_SUCCESS; }
  STDMETHODIMP SetStreamEngine(adapter::IStreamEngine* engine) override {
    linkedEngine = engine;
    Log("engine");
    return STATUS_SUCCESS;
  }
  STDMETHODIMP SetRenderLink(ULONG value) override {
    Log("render " + std::to_string(value));
    return STATUS_SUCCESS;
  }

  LONG References() const { return m_lRefCount; }

  NTSTATUS restoreStatus = STATUS_SUCCESS;
  NTSTATUS linkStatus = STATUS_SUCCESS;
  ULONG direction = 0;
  ULONG pinIndex = 0;
  adapter::IStreamEngine* linkedEngine = nullptr;

 private:
  void Log(const std::string& what) {
    if (log_) log_->push_back(std::to_string(m_nId) + ": " + what);
  }
  ULONG answers_;
  std::vector<std::string>* log_;
};

// Makes a probe entity with one reference (the caller's).
inline CProbeEntity* NewProbeEntity(ULONG id, ULONG type, ULONG answers = 0,
                                    std::vector<std::string>* log = nullptr) {
  adapter::IUacEntity* entity = nullptr;
  if (!NT_SUCCESS(adapter::CreateInstance<CProbeEntity>(&entity, nullptr, NonPagedPool, kProbeEntityTag, id, type,
                                                       answers, log)))
    return nullptr;
  return static_cast<CProbeEntity*>(entity);
}

// The smallest function object: its probe is the test's.
class CProbeHal : public adapter::CAudioHal {
 public:
  explicit CProbeHal(PUNKNOWN outer) : CAudioHal(outer) {}
  STDMETHODIMP ProbeDevice() override { return probe ? probe(this) : CAudioHal::ProbeDevice(); }
  void SetTemplate(const adapter::EndpointCapabilityRecord& record) { m_CapabilityRecord = record; }
  std::function<NTSTATUS(CProbeHal*)> probe;
};

inline CProbeHal* NewProbeHal() {
  adapter::IAudioHal* hal = nullptr;
  if (!NT_SUCCESS(adapter::CreateInstance<CProbeHal>(&hal, nullptr, NonPagedPool, kProbeEntityTag))) return nullptr;
  return static_cast<CProbeHal*>(hal);
}

}  // namespace platform::testing

// One topology entity of the audio model: a unit, terminal, clock source or control node,
// with an identifier, a type and the identifiers of the entities that feed it. Every
// entity and node class derives from CUacEntity.
#pragma once

#include "kernel/nt.h"
#include "portcls/ks.h"

namespace adapter {

// {200AFF7F-71A4-4FFC-BF4F-61F2B8A522B5}
KS_DEFINE_GUID(IID_IUacEntity, 0x200AFF7F, 0x71A4, 0x4FFC, 0xBF, 0x4F, 0x61, 0xF2, 0xB8, 0xA5, 0x22, 0xB5);

struct IUacEntity : IUnknown {
  STDMETHOD_(ULONG, GetId)() = 0;
  STDMETHOD_(ULONG, GetType)() = 0;
  STDMETHOD_(ULONG, GetSourceCount)() = 0;
  // The source count and the array of source identifiers (null when there are none); the
  // array belongs to the entity.
  STDMETHOD(GetSources)(PULONG Count, const ULONG** Sources) = 0;
  // Value exchange with the device and the entity's life with the function; nothing and
  // success in the base.
  STDMETHOD(RestoreToDevice)() = 0;
  STDMETHOD(RefreshFromDevice)() = 0;
  STDMETHOD(Start)() = 0;
  STDMETHOD(Stop)() = 0;
  // Replaces the source identifiers with a copy of `Sources` (count 0 clears).
  STDMETHOD(SetSources)(ULONG Count, const ULONG* Sources) = 0;
};
using PUACENTITY = IUacEntity*;

// Pool tag of the source identifier copies.
inline constexpr ULONG kEntityPoolTag = MakePoolTag('T', 'o', 'p', 'o');

class CUacEntity : public IUacEntity, public CUnknown {
 public:
  CUacEntity(PUNKNOWN outerUnknown, ULONG id, ULONG type);
  ~CUacEntity() override;

  DECLARE_STD_UNKNOWN();

  STDMETHODIMP_(ULONG) GetId() override { return m_nId; }
  STDMETHODIMP_(ULONG) GetType() override { return m_nType; }
  STDMETHODIMP_(ULONG) GetSourceCount() override { return m_nSourceCount; }
  STDMETHODIMP GetSources(PULONG Count, const ULONG** Sources) override;
  STDMETHODIMP RestoreToDevice() override { return STATUS_SUCCESS; }
  STDMETHODIMP RefreshFromDevice() override { return STATUS_SUCCESS; }
  STDMETHODIMP Start() override { return STATUS_SUCCESS; }
  STDMETHODIMP Stop() override { return STATUS_SUCCESS; }
  // Count 0 clears; null ids with a non-zero count: STATUS_INVALID_PARAMETER; no memory:
  // STATUS_INSUFFICIENT_RESOURCES with the old sources kept.
  STDMETHODIMP SetSources(ULONG Count, const ULONG* Sources) override;

 protected:
  ULONG m_nId;
  ULONG m_nType;
  ULONG m_nSourceCount;
  PULONG m_pSources;  // paged pool, kEntityPoolTag
};

}  // namespace adapter

// The reference-counted interface model that PortCls and the driver's objects share:
// IUnknown, the non-delegating unknown and the CUnknown base with its outer unknown.
#pragma once

#include "kernel/ntdef.h"
#include "kernel/pool.h"

#define STDMETHODCALLTYPE
#define STDMETHOD(method) virtual NTSTATUS STDMETHODCALLTYPE method
#define STDMETHOD_(type, method) virtual type STDMETHODCALLTYPE method
#define STDMETHODIMP NTSTATUS STDMETHODCALLTYPE
#define STDMETHODIMP_(type) type STDMETHODCALLTYPE

// The published IUnknown ID {00000000-0000-0000-C000-000000000046}.
inline constexpr GUID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

struct IUnknown {
  STDMETHOD(QueryInterface)(REFIID iid, PVOID* object) = 0;
  STDMETHOD_(ULONG, AddRef)() = 0;
  STDMETHOD_(ULONG, Release)() = 0;

 protected:
  ~IUnknown() = default;
};
using PUNKNOWN = IUnknown*;

struct INonDelegatingUnknown {
  STDMETHOD(NonDelegatingQueryInterface)(REFIID iid, PVOID* object) = 0;
  STDMETHOD_(ULONG, NonDelegatingAddRef)() = 0;
  STDMETHOD_(ULONG, NonDelegatingRelease)() = 0;

 protected:
  ~INonDelegatingUnknown() = default;
};
using PNONDELEGATINGUNKNOWN = INonDelegatingUnknown*;

// Base of every reference-counted object. The outer unknown is the object itself unless
// it was created as part of an aggregate. Objects live in pool memory: they are created
// with new (PoolType, Tag) and destroyed by the last NonDelegatingRelease.
class CUnknown : public INonDelegatingUnknown {
 public:
  explicit CUnknown(PUNKNOWN outerUnknown);
  virtual ~CUnknown();

  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;
  STDMETHODIMP_(ULONG) NonDelegatingAddRef() override;
  STDMETHODIMP_(ULONG) NonDelegatingRelease() override;

  PUNKNOWN GetOuterUnknown() const { return m_pUnknownOuter; }

  static void* operator new(std::size_t bytes, POOL_TYPE type, ULONG tag) noexcept;
  static void operator delete(void* block, POOL_TYPE type, ULONG tag) noexcept;
  static void operator delete(void* block) noexcept;

  // The object's non-delegating unknown seen as an IUnknown: what a query for
  // IID_IUnknown hands out, and the outer unknown of an object that is not aggregated.
  PUNKNOWN NonDelegatingUnknown() { return &m_nonDelegating; }

 protected:
  LONG m_lRefCount;
  PUNKNOWN m_pUnknownOuter;

 private:
  struct NonDelegatingShim final : IUnknown {
    CUnknown* owner;
    STDMETHODIMP QueryInterface(REFIID iid, PVOID* object) override {
      return owner->NonDelegatingQueryInterface(iid, object);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return owner->NonDelegatingAddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return owner->NonDelegatingRelease(); }
  };
  NonDelegatingShim m_nonDelegating;
};

// Forwards the three IUnknown slots of every interface of a CUnknown-derived class to the
// outer unknown.
#define DECLARE_STD_UNKNOWN()                                                             \
  STDMETHODIMP QueryInterface(REFIID iid, PVOID* object) override {                      \
    return GetOuterUnknown()->QueryInterface(iid, object);                               \
  }                                                                                      \
  STDMETHODIMP_(ULONG) AddRef() override { return GetOuterUnknown()->AddRef(); }          \
  STDMETHODIMP_(ULONG) Release() override { return GetOuterUnknown()->Release(); }        \
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, PVOID* object) override

// The IUnknown a CUnknown presents as its own outer unknown (the non-aggregated case).
#define DEFINE_STD_CONSTRUCTOR(Class) \
  explicit Class(PUNKNOWN outerUnknown) : CUnknown(outerUnknown) {}

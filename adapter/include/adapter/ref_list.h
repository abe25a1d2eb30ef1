// CRefList<T>: the untyped pointer list holding one reference to each element of one
// interface type. Add takes a reference (and gives it back when no node can be had),
// ReleaseAll drops every reference, and a range-for walks the elements typed. The list is
// a CPtrList underneath (same pool, same nodes, no lock), so what the untyped list
// promises holds here too. ScopedRelease<T> drops one reference at the end of a scope.
#pragma once

#include "adapter/ptr_list.h"

namespace adapter {

template <class T>
class CRefList : public CPtrList {
 public:
  ~CRefList() { ReleaseAll(); }

  // Appends with an added reference; false (nothing kept) when no node could be had.
  bool Add(T* Element) {
    if (!Element) return false;
    Element->AddRef();
    if (AddTail(Element)) return true;
    Element->Release();
    return false;
  }
  // Unlinks every element and drops its reference, head first.
  void ReleaseAll() {
    PVOID data = nullptr;
    while (RemoveHead(&data)) static_cast<T*>(data)->Release();
  }
  // The element at the index (no reference added); null past the end.
  T* GetAt(ULONG Index) const {
    PVOID data = nullptr;
    return CPtrList::GetAt(Index, &data) ? static_cast<T*>(data) : nullptr;
  }
  T* GetTail() const {
    PVOID data = nullptr;
    return CPtrList::GetTail(&data) ? static_cast<T*>(data) : nullptr;
  }

  class Iterator {
   public:
    explicit Iterator(POSITION Position) : m_Position(Position), m_Next(Position ? Position->next : nullptr) {}
    T* operator*() const { return static_cast<T*>(m_Position->data); }
    Iterator& operator++() {
      m_Position = m_Next;
      m_Next = m_Position ? m_Position->next : nullptr;
      return *this;
    }
    bool operator!=(const Iterator& Other) const { return m_Position != Other.m_Position; }

   private:
    POSITION m_Position;
    POSITION m_Next;  // taken before the body runs, as GetNext does
  };
  // The body may unlink the element it stands on, not the one after it.
  Iterator begin() const { return Iterator(GetHeadPosition()); }
  Iterator end() const { return Iterator(nullptr); }
};

// Holds one reference and drops it at the end of the scope.
template <class T>
struct ScopedRelease {
  T* p = nullptr;
  ScopedRelease() = default;
  explicit ScopedRelease(T* Object) : p(Object) {}
  ScopedRelease(const ScopedRelease&) = delete;
  ScopedRelease& operator=(const ScopedRelease&) = delete;
  ~ScopedRelease() {
    if (p) p->Release();
  }
  T* operator->() const { return p; }
  T* get() const { return p; }
  // Where a query puts the interface it returns.
  PVOID* out() { return reinterpret_cast<PVOID*>(&p); }
};

}  // namespace adapter

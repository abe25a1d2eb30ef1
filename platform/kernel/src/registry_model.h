// The registry's in-memory tree, shared by the Zw key calls, the test API and the ".reg"
// reader and writer (private to the library). Every access holds Mutex().
#pragma once

#include <memory>
#include <mutex>
#include <source_location>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kernel/registry.h"

namespace platform::registry::detail {

constexpr size_t kMaxKeyNameChars = 255;
constexpr size_t kMaxValueNameChars = 16383;

struct Key {
  std::u16string name;   // as created (case kept)
  std::u16string klass;  // class name given at creation
  Key* parent = nullptr;
  bool deleted = false;
  std::vector<std::shared_ptr<Key>> children;               // ordered by upper-cased name
  std::vector<std::pair<std::u16string, Value>> values;     // in creation order
};

std::mutex& Mutex();
// "\Registry"; its children are the hives \Registry\Machine and \Registry\User.
const std::shared_ptr<Key>& Root();
// Re-creates the base keys (caller holds the mutex).
void ResetLocked();

char16_t Fold(char16_t c);
bool EqualsNoCase(std::u16string_view a, std::u16string_view b);
int CompareNoCase(std::u16string_view a, std::u16string_view b);

// Splits "a\b\c" into components. false for an empty component, one longer than
// kMaxKeyNameChars or one holding a control character (which the ".reg" text could not
// carry). An empty path gives no components.
bool SplitRelative(std::u16string_view path, std::vector<std::u16string_view>& out);
// Splits an absolute "\Registry\..." path into the components below \Registry.
bool SplitAbsolute(std::u16string_view path, std::vector<std::u16string_view>& out);

// Value names: at most kMaxValueNameChars, no control characters.
bool ValidValueName(std::u16string_view name);

std::shared_ptr<Key> FindChild(const Key& key, std::u16string_view name);
std::shared_ptr<Key> AddChild(Key& key, std::u16string_view name);
// Follows components from `from`; null when one is missing.
std::shared_ptr<Key> Walk(const std::shared_ptr<Key>& from, const std::vector<std::u16string_view>& parts);
// Follows components from `from`, creating missing keys.
std::shared_ptr<Key> WalkCreate(const std::shared_ptr<Key>& from, const std::vector<std::u16string_view>& parts);

std::pair<std::u16string, Value>* FindEntry(Key& key, std::u16string_view name);
Value* FindValue(Key& key, std::u16string_view name);
void StoreValue(Key& key, std::u16string_view name, Value value);
bool EraseValue(Key& key, std::u16string_view name);
// Detaches a key from its parent and marks it and everything below deleted.
void RemoveKey(Key& key);

// "\Registry\Machine\..." of a live key.
std::u16string FullPath(const Key& key);
// True for \Registry and the hive keys directly below it.
bool IsBaseKey(const Key& key);

// Decodes UTF-8 strictly (no overlong forms, no surrogates) into UTF-16; false with the
// offset of the first bad sequence.
bool DecodeUtf8(std::span<const UCHAR> in, std::u16string& out, size_t& badOffset);

// Reports a registry or file call above PASSIVE_LEVEL to the verifier.
void CheckPassive(const char* api, const std::source_location& caller);

// Opens a kernel handle to a key node (for the device keys of the PnP side).
NTSTATUS OpenKeyHandle(const std::shared_ptr<Key>& key, ACCESS_MASK access, PHANDLE handle);

}  // namespace platform::registry::detail

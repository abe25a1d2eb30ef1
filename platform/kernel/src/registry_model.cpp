// The registry tree and the test API over it.
#include "registry_model.h"

#include <algorithm>

#include "kernel/ke.h"
#include "kernel/verifier.h"
#include "text.h"

namespace platform::registry::detail {

std::mutex& Mutex() {
  static std::mutex mutex;
  return mutex;
}

namespace {
void AddBaseKeys(Key& root) {
  auto machine = AddChild(root, u"Machine");
  auto system = AddChild(*machine, u"SYSTEM");
  auto ccs = AddChild(*system, u"CurrentControlSet");
  AddChild(*AddChild(*ccs, u"Control"), u"Class");
  AddChild(*ccs, u"Enum");
  AddChild(*ccs, u"Services");
  AddChild(*machine, u"SOFTWARE");
  AddChild(*machine, u"HARDWARE");
  AddChild(root, u"User");
}
}  // namespace

const std::shared_ptr<Key>& Root() {
  static const std::shared_ptr<Key> root = [] {
    auto r = std::make_shared<Key>();
    r->name = u"Registry";
    AddBaseKeys(*r);
    return r;
  }();
  return root;
}

void ResetLocked() {
  Key& root = *Root();
  while (!root.children.empty()) RemoveKey(*root.children.back());
  AddBaseKeys(root);
}

char16_t Fold(char16_t c) { return platform::text::Upcase(c); }

int CompareNoCase(std::u16string_view a, std::u16string_view b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const char16_t x = Fold(a[i]);
    const char16_t y = Fold(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool EqualsNoCase(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() && CompareNoCase(a, b) == 0;
}

bool SplitRelative(std::u16string_view path, std::vector<std::u16string_view>& out) {
  out.clear();
  if (path.empty()) return true;
  size_t start = 0;
  for (;;) {
    const size_t end = path.find(u'\\', start);
    const std::u16string_view part = path.substr(start, end == std::u16string_view::npos ? end : end - start);
    if (part.empty() || part.size() > kMaxKeyNameChars) return false;
    for (char16_t c : part)
      if (c < 0x20) return false;
    out.push_back(part);
    if (end == std::u16string_view::npos) return true;
    start = end + 1;
  }
}

bool SplitAbsolute(std::u16string_view path, std::vector<std::u16string_view>& out) {
  constexpr std::u16string_view kPrefix = u"\\Registry";
  if (path.size() < kPrefix.size() || !EqualsNoCase(path.substr(0, kPrefix.size()), kPrefix)) return false;
  path.remove_prefix(kPrefix.size());
  if (path.empty()) {
    out.clear();
    return true;
  }
  if (path.front() != u'\\') return false;
  return SplitRelative(path.substr(1), out);
}

bool ValidValueName(std::u16string_view name) {
  if (name.size() > kMaxValueNameChars) return false;
  for (char16_t c : name)
    if (c < 0x20) return false;
  return true;
}

std::shared_ptr<Key> FindChild(const Key& key, std::u16string_view name) {
  auto it = std::lower_bound(key.children.begin(), key.children.end(), name,
                             [](const std::shared_ptr<Key>& k, std::u16string_view n) {
                               return CompareNoCase(k->name, n) < 0;
                             });
  if (it != key.children.end() && EqualsNoCase((*it)->name, name)) return *it;
  return nullptr;
}

std::shared_ptr<Key> AddChild(Key& key, std::u16string_view name) {
  auto it = std::lower_bound(key.children.begin(), key.children.end(), name,
                             [](const std::shared_ptr<Key>& k, std::u16string_view n) {
                               return CompareNoCase(k->name, n) < 0;
                             });
  if (it != key.children.end() && EqualsNoCase((*it)->name, name)) return *it;
  auto child = std::make_shared<Key>();
  child->name = std::u16string(name);
  child->parent = &key;
  key.children.insert(it, child);
  return child;
}

std::shared_ptr<Key> Walk(const std::shared_ptr<Key>& from, const std::vector<std::u16string_view>& parts) {
  std::shared_ptr<Key> key = from;
  for (auto part : parts) {
    key = FindChild(*key, part);
    if (!key) return nullptr;
  }
  return key;
}

std::shared_ptr<Key> WalkCreate(const std::shared_ptr<Key>& from, const std::vector<std::u16string_view>& parts) {
  std::shared_ptr<Key> key = from;
  for (auto part : parts) key = AddChild(*key, part);
  return key;
}

std::pair<std::u16string, Value>* FindEntry(Key& key, std::u16string_view name) {
  for (auto& entry : key.values)
    if (EqualsNoCase(entry.first, name)) return &entry;
  return nullptr;
}

Value* FindValue(Key& key, std::u16string_view name) {
  auto* entry = FindEntry(key, name);
  return entry ? &entry->second : nullptr;
}

void StoreValue(Key& key, std::u16string_view name, Value value) {
  if (Value* existing = FindValue(key, name)) {
    *existing = std::move(value);
    return;
  }
  key.values.emplace_back(std::u16string(name), std::move(value));
}

bool EraseValue(Key& key, std::u16string_view name) {
  auto it = std::find_if(key.values.begin(), key.values.end(),
                         [&](const auto& entry) { return EqualsNoCase(entry.first, name); });
  if (it == key.values.end()) return false;
  key.values.erase(it);
  return true;
}

namespace {
void MarkDeleted(Key& key) {
  key.deleted = true;
  for (auto& child : key.children) {
    MarkDeleted(*child);
    child->parent = nullptr;
  }
  key.children.clear();
}
}  // namespace

void RemoveKey(Key& key) {
  std::shared_ptr<Key> keepAlive;  // the parent may hold the last reference
  if (Key* parent = key.parent) {
    auto& siblings = parent->children;
    auto it = std::find_if(siblings.begin(), siblings.end(),
                           [&](const std::shared_ptr<Key>& k) { return k.get() == &key; });
    if (it != siblings.end()) {
      keepAlive = *it;
      siblings.erase(it);
    }
  }
  key.parent = nullptr;
  MarkDeleted(key);
}

std::u16string FullPath(const Key& key) {
  std::vector<const Key*> chain;
  for (const Key* k = &key; k; k = k->parent) chain.push_back(k);
  std::u16string path;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    path += u'\\';
    path += (*it)->name;
  }
  return path;
}

void CheckPassive(const char* api, const std::source_location& caller) {
  const KIRQL irql = KeGetCurrentIrql();
  if (irql != PASSIVE_LEVEL)
    platform::verifier::Report(platform::verifier::Check::IrqlMisuse, api,
                               "called at IRQL " + std::to_string(irql) + "; it runs at PASSIVE_LEVEL only", caller);
}

bool IsBaseKey(const Key& key) { return key.parent == nullptr || key.parent->parent == nullptr; }

}  // namespace platform::registry::detail

namespace platform::registry {

using namespace detail;

namespace {
// Resolves an absolute path under the lock; null for a malformed or missing path.
std::shared_ptr<Key> Resolve(std::u16string_view keyPath, bool create) {
  std::vector<std::u16string_view> parts;
  if (!SplitAbsolute(keyPath, parts)) return nullptr;
  if (create) {
    if (parts.empty()) return Root();
    // Hives cannot be created.
    if (!FindChild(*Root(), parts.front())) return nullptr;
    return WalkCreate(Root(), parts);
  }
  return Walk(Root(), parts);
}
}  // namespace

void Clear() {
  std::lock_guard lock(Mutex());
  ResetLocked();
}

bool CreateKey(std::u16string_view keyPath) {
  std::lock_guard lock(Mutex());
  return Resolve(keyPath, true) != nullptr;
}

bool KeyExists(std::u16string_view keyPath) {
  std::lock_guard lock(Mutex());
  return Resolve(keyPath, false) != nullptr;
}

bool DeleteTree(std::u16string_view keyPath) {
  std::lock_guard lock(Mutex());
  auto key = Resolve(keyPath, false);
  if (!key || IsBaseKey(*key)) return false;
  RemoveKey(*key);
  return true;
}

std::vector<std::u16string> SubKeys(std::u16string_view keyPath) {
  std::lock_guard lock(Mutex());
  std::vector<std::u16string> names;
  if (auto key = Resolve(keyPath, false))
    for (auto& child : key->children) names.push_back(child->name);
  return names;
}

std::vector<std::u16string> ValueNames(std::u16string_view keyPath) {
  std::lock_guard lock(Mutex());
  std::vector<std::u16string> names;
  if (auto key = Resolve(keyPath, false))
    for (auto& entry : key->values) names.push_back(entry.first);
  return names;
}

bool SetValue(std::u16string_view keyPath, std::u16string_view valueName, ULONG type, std::span<const UCHAR> data) {
  if (!ValidValueName(valueName)) return false;
  std::lock_guard lock(Mutex());
  auto key = Resolve(keyPath, true);
  if (!key) return false;
  StoreValue(*key, valueName, Value{type, std::vector<UCHAR>(data.begin(), data.end())});
  return true;
}

bool SetDword(std::u16string_view keyPath, std::u16string_view valueName, ULONG value) {
  const UCHAR bytes[4] = {static_cast<UCHAR>(value), static_cast<UCHAR>(value >> 8), static_cast<UCHAR>(value >> 16),
                          static_cast<UCHAR>(value >> 24)};
  return SetValue(keyPath, valueName, REG_DWORD, bytes);
}

bool SetBinary(std::u16string_view keyPath, std::u16string_view valueName, std::span<const UCHAR> data) {
  return SetValue(keyPath, valueName, REG_BINARY, data);
}

namespace {
void AppendUtf16(std::vector<UCHAR>& out, std::u16string_view text) {
  for (char16_t c : text) {
    out.push_back(static_cast<UCHAR>(c & 0xFF));
    out.push_back(static_cast<UCHAR>(c >> 8));
  }
}
}  // namespace

bool SetString(std::u16string_view keyPath, std::u16string_view valueName, std::u16string_view text) {
  std::vector<UCHAR> bytes;
  AppendUtf16(bytes, text);
  AppendUtf16(bytes, std::u16string_view(u"\0", 1));
  return SetValue(keyPath, valueName, REG_SZ, bytes);
}

bool SetMultiString(std::u16string_view keyPath, std::u16string_view valueName,
                    const std::vector<std::u16string>& strings) {
  std::vector<UCHAR> bytes;
  for (auto& s : strings) {
    AppendUtf16(bytes, s);
    AppendUtf16(bytes, std::u16string_view(u"\0", 1));
  }
  AppendUtf16(bytes, std::u16string_view(u"\0", 1));
  return SetValue(keyPath, valueName, REG_MULTI_SZ, bytes);
}

std::optional<Value> GetValue(std::u16string_view keyPath, std::u16string_view valueName) {
  std::lock_guard lock(Mutex());
  auto key = Resolve(keyPath, false);
  if (!key) return std::nullopt;
  if (Value* v = FindValue(*key, valueName)) return *v;
  return std::nullopt;
}

bool DeleteValue(std::u16string_view keyPath, std::u16string_view valueName) {
  std::lock_guard lock(Mutex());
  auto key = Resolve(keyPath, false);
  return key && EraseValue(*key, valueName);
}

}  // namespace platform::registry

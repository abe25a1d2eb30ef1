// The Zw key calls: name resolution, the information layouts and their size rules,
// enumeration order and deleted keys.
#include <gtest/gtest.h>

#include "support/kernel_fixture.h"

#include <cstring>
#include <string>
#include <vector>

#include "kernel/ke.h"
#include "kernel/ob.h"
#include "kernel/registry.h"

namespace reg = platform::registry;

namespace {

struct Name {
  explicit Name(std::u16string s) : text(std::move(s)) {
    us.Buffer = text.data();
    us.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    us.MaximumLength = us.Length;
  }
  std::u16string text;
  UNICODE_STRING us;
};

class RegistryKeys : public platform::testing::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    reg::Clear();
    handles_ = platform::ob::OpenHandleCount();
  }
  void TearDown() override {
    EXPECT_EQ(platform::ob::OpenHandleCount(), handles_) << "key handles left open";
    reg::Clear();
    KernelTest::TearDown();
  }

  NTSTATUS Create(const std::u16string& path, HANDLE* h, HANDLE root = nullptr, ULONG* disposition = nullptr) {
    Name n(path);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &n.us, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
    return ZwCreateKey(h, KEY_ALL_ACCESS, &oa, 0, nullptr, REG_OPTION_NON_VOLATILE, disposition);
  }
  NTSTATUS Open(const std::u16string& path, HANDLE* h, HANDLE root = nullptr) {
    Name n(path);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &n.us, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
    return ZwOpenKey(h, KEY_READ, &oa);
  }
  NTSTATUS Set(HANDLE h, const std::u16string& name, ULONG type, std::vector<UCHAR> data) {
    Name n(name);
    return ZwSetValueKey(h, &n.us, 0, type, data.empty() ? nullptr : data.data(), static_cast<ULONG>(data.size()));
  }

  size_t handles_ = 0;
};

constexpr char16_t kSoftware[] = u"\\Registry\\Machine\\SOFTWARE";

TEST_F(RegistryKeys, CreateAndOpenByAbsoluteAndRelativeNames) {
  HANDLE vendor = nullptr, sub = nullptr, again = nullptr;
  ULONG disposition = 0;
  ASSERT_EQ(Create(std::u16string(kSoftware) + u"\\Vendor", &vendor, nullptr, &disposition), STATUS_SUCCESS);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  ASSERT_EQ(Create(u"Sub", &sub, vendor, &disposition), STATUS_SUCCESS);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  ASSERT_EQ(Create(u"sub", &again, vendor, &disposition), STATUS_SUCCESS);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  EXPECT_EQ(ZwClose(again), STATUS_SUCCESS);
  // An empty relative name opens the root key itself.
  ASSERT_EQ(Open(u"", &again, sub), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(again), STATUS_SUCCESS);
  ASSERT_EQ(Open(u"\\REGISTRY\\machine\\software\\VENDOR\\SUB", &again), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(again), STATUS_SUCCESS);
  EXPECT_TRUE(reg::KeyExists(std::u16string(kSoftware) + u"\\Vendor\\Sub"));

  // Failures, as the kernel reports them.
  EXPECT_EQ(Open(u"Missing", &again, vendor), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(Create(u"A\\B", &again, vendor), STATUS_OBJECT_NAME_NOT_FOUND) << "only the last component is created";
  EXPECT_EQ(Create(u"\\Registry\\NewHive", &again), STATUS_ACCESS_DENIED);
  EXPECT_EQ(Open(u"\\Sub", &again, vendor), STATUS_OBJECT_PATH_SYNTAX_BAD);
  EXPECT_EQ(Open(u"Registry\\Machine", &again), STATUS_OBJECT_PATH_SYNTAX_BAD);
  EXPECT_EQ(Open(u"\\Callback\\X", &again), STATUS_OBJECT_PATH_NOT_FOUND);
  EXPECT_EQ(Open(u"A\\\\B", &again, vendor), STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(Open(std::u16string(256, u'x'), &again, vendor), STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(Open(u"X", &again, reinterpret_cast<HANDLE>(0x7777)), STATUS_INVALID_HANDLE);

  // A handle of another type is no root key.
  platform::ob::CreateParams p;
  p.type = *ExEventObjectType;
  p.bodySize = 8;
  PVOID event = nullptr;
  ASSERT_EQ(platform::ob::CreateObject(p, &event), STATUS_SUCCESS);
  HANDLE eventHandle = nullptr;
  ASSERT_EQ(ObOpenObjectByPointer(event, OBJ_KERNEL_HANDLE, nullptr, 0, nullptr, KernelMode, &eventHandle),
            STATUS_SUCCESS);
  ObDereferenceObject(event);
  EXPECT_EQ(Open(u"X", &again, eventHandle), STATUS_OBJECT_TYPE_MISMATCH);
  EXPECT_EQ(Set(eventHandle, u"V", REG_DWORD, {1, 0, 0, 0}), STATUS_OBJECT_TYPE_MISMATCH);
  EXPECT_EQ(ZwClose(eventHandle), STATUS_SUCCESS);

  EXPECT_EQ(ZwClose(sub), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(vendor), STATUS_SUCCESS);
}

TEST_F(RegistryKeys, PartialInformationLayoutAndSizeRules) {
  HANDLE key = nullptr;
  ASSERT_EQ(Create(std::u16string(kSoftware) + u"\\V", &key), STATUS_SUCCESS);
  ASSERT_EQ(Set(key, u"Level", REG_BINARY, {1, 2, 3, 4, 5}), STATUS_SUCCESS);
  static_assert(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) == 12);
  static_assert(sizeof(KEY_VALUE_PARTIAL_INFORMATION) == 16);

  Name name(u"LEVEL");
  alignas(8) UCHAR buffer[64];
  ULONG result = 0;
  // Smaller than the fixed part: too small, nothing written, full size reported.
  std::memset(buffer, 0xAA, sizeof buffer);
  EXPECT_EQ(ZwQueryValueKey(key, &name.us, KeyValuePartialInformation, buffer, 11, &result), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(result, 17u);
  EXPECT_EQ(buffer[0], 0xAA);
  EXPECT_EQ(ZwQueryValueKey(key, &name.us, KeyValuePartialInformation, nullptr, 0, &result), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(result, 17u);
  // The fixed part fits, the data do not: overflow with the header filled in.
  EXPECT_EQ(ZwQueryValueKey(key, &name.us, KeyValuePartialInformation, buffer, 16, &result), STATUS_BUFFER_OVERFLOW);
  auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
  EXPECT_EQ(info->Type, REG_BINARY);
  EXPECT_EQ(info->DataLength, 5u);
  EXPECT_EQ(buffer[12], 0xAA) << "no partial data";
  // Exactly enough.
  EXPECT_EQ(ZwQueryValueKey(key, &name.us, KeyValuePartialInformation, buffer, 17, &result), STATUS_SUCCESS);
  EXPECT_EQ(result, 17u);
  EXPECT_EQ(std::vector<UCHAR>(info->Data, info->Data + 5), (std::vector<UCHAR>{1, 2, 3, 4, 5}));

  // Basic and full information report the stored name.
  ASSERT_EQ(ZwQueryValueKey(key, &name.us, KeyValueBasicInformation, buffer, sizeof buffer, &result), STATUS_SUCCESS);
  auto* basic = reinterpret_cast<KEY_VALUE_BASIC_INFORMATION*>(buffer);
  EXPECT_EQ(basic->NameLength, 10u);
  EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(buffer + 12), 5), u"Level");
  ASSERT_EQ(ZwQueryValueKey(key, &name.us, KeyValueFullInformation, buffer, sizeof buffer, &result), STATUS_SUCCESS);
  KEY_VALUE_FULL_INFORMATION full;
  std::memcpy(&full, buffer, offsetof(KEY_VALUE_FULL_INFORMATION, Name));
  EXPECT_EQ(full.DataLength, 5u);
  EXPECT_EQ(full.DataOffset % 8, 0u);
  EXPECT_GE(full.DataOffset, 20u + 10u);
  EXPECT_EQ(result, full.DataOffset + 5);
  EXPECT_EQ(buffer[full.DataOffset + 4], 5);

  Name missing(u"Nope");
  EXPECT_EQ(ZwQueryValueKey(key, &missing.us, KeyValuePartialInformation, buffer, sizeof buffer, &result),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(ZwDeleteValueKey(key, &missing.us), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(ZwDeleteValueKey(key, &name.us), STATUS_SUCCESS);
  EXPECT_FALSE(reg::GetValue(std::u16string(kSoftware) + u"\\V", u"Level"));

  // Rewriting keeps one value, with the new type and size.
  ASSERT_EQ(Set(key, u"X", REG_SZ, {'a', 0, 0, 0}), STATUS_SUCCESS);
  ASSERT_EQ(Set(key, u"x", REG_DWORD, {9, 0, 0, 0}), STATUS_SUCCESS);
  EXPECT_EQ(reg::ValueNames(std::u16string(kSoftware) + u"\\V"), (std::vector<std::u16string>{u"X"}));
  EXPECT_EQ(reg::GetValue(std::u16string(kSoftware) + u"\\V", u"X"), (reg::Value{REG_DWORD, {9, 0, 0, 0}}));
  // The default value has the empty name.
  ASSERT_EQ(Set(key, u"", REG_SZ, {'d', 0, 0, 0}), STATUS_SUCCESS);
  EXPECT_TRUE(reg::GetValue(std::u16string(kSoftware) + u"\\V", u""));
  EXPECT_EQ(Set(key, u"bad\nname", REG_DWORD, {1, 0, 0, 0}), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST_F(RegistryKeys, EnumerationAndKeyInformation) {
  HANDLE parent = nullptr;
  ASSERT_EQ(Create(std::u16string(kSoftware) + u"\\P", &parent), STATUS_SUCCESS);
  for (auto name : {u"zeta", u"Alpha", u"beta"}) {
    HANDLE h = nullptr;
    ASSERT_EQ(Create(name, &h, parent), STATUS_SUCCESS);
    ZwClose(h);
  }
  alignas(8) UCHAR buffer[128];
  ULONG result = 0;
  std::vector<std::u16string> names;
  for (ULONG i = 0;; ++i) {
    NTSTATUS s = ZwEnumerateKey(parent, i, KeyBasicInformation, buffer, sizeof buffer, &result);
    if (s == STATUS_NO_MORE_ENTRIES) break;
    ASSERT_EQ(s, STATUS_SUCCESS);
    auto* info = reinterpret_cast<KEY_BASIC_INFORMATION*>(buffer);
    EXPECT_EQ(result, offsetof(KEY_BASIC_INFORMATION, Name) + info->NameLength);
    names.emplace_back(reinterpret_cast<char16_t*>(buffer + 16), info->NameLength / 2);
  }
  EXPECT_EQ(names, (std::vector<std::u16string>{u"Alpha", u"beta", u"zeta"}));
  // A short buffer gets the fixed part and as much of the name as fits.
  std::memset(buffer, 0, sizeof buffer);
  EXPECT_EQ(ZwEnumerateKey(parent, 0, KeyBasicInformation, buffer, 18, &result), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(result, 26u);
  EXPECT_EQ(buffer[16], 'A');
  EXPECT_EQ(ZwEnumerateKey(parent, 0, KeyBasicInformation, buffer, 15, &result), STATUS_BUFFER_TOO_SMALL);

  // The key's own name (the last component) and its counts.
  ASSERT_EQ(ZwQueryKey(parent, KeyBasicInformation, buffer, sizeof buffer, &result), STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(buffer + 16), 1), u"P");
  ASSERT_EQ(Set(parent, u"Value", REG_BINARY, std::vector<UCHAR>(40, 1)), STATUS_SUCCESS);
  ASSERT_EQ(ZwQueryKey(parent, KeyFullInformation, buffer, sizeof buffer, &result), STATUS_SUCCESS);
  KEY_FULL_INFORMATION full;
  std::memcpy(&full, buffer, offsetof(KEY_FULL_INFORMATION, Class));
  EXPECT_EQ(full.SubKeys, 3u);
  EXPECT_EQ(full.MaxNameLen, 10u);
  EXPECT_EQ(full.Values, 1u);
  EXPECT_EQ(full.MaxValueNameLen, 10u);
  EXPECT_EQ(full.MaxValueDataLen, 40u);
  ASSERT_EQ(ZwQueryKey(parent, KeyNameInformation, buffer, sizeof buffer, &result), STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(buffer + 4), reinterpret_cast<ULONG*>(buffer)[0] / 2),
            u"\\Registry\\Machine\\SOFTWARE\\P");

  ASSERT_EQ(ZwEnumerateValueKey(parent, 0, KeyValuePartialInformation, buffer, sizeof buffer, &result),
            STATUS_SUCCESS);
  EXPECT_EQ(result, 52u);
  EXPECT_EQ(ZwEnumerateValueKey(parent, 1, KeyValuePartialInformation, buffer, sizeof buffer, &result),
            STATUS_NO_MORE_ENTRIES);
  EXPECT_EQ(ZwClose(parent), STATUS_SUCCESS);
}

TEST_F(RegistryKeys, DeletedKeysAnswerKeyDeleted) {
  HANDLE parent = nullptr, child = nullptr;
  ASSERT_EQ(Create(std::u16string(kSoftware) + u"\\D", &parent), STATUS_SUCCESS);
  ASSERT_EQ(Create(u"C", &child, parent), STATUS_SUCCESS);
  EXPECT_EQ(ZwDeleteKey(parent), STATUS_CANNOT_DELETE);
  EXPECT_EQ(ZwDeleteKey(child), STATUS_SUCCESS);
  EXPECT_EQ(Set(child, u"V", REG_DWORD, {1, 0, 0, 0}), STATUS_KEY_DELETED);
  HANDLE h = nullptr;
  EXPECT_EQ(Create(u"X", &h, child), STATUS_KEY_DELETED);
  EXPECT_EQ(ZwClose(child), STATUS_SUCCESS);
  EXPECT_FALSE(reg::KeyExists(std::u16string(kSoftware) + u"\\D\\C"));

  // Clearing the registry invalidates open handles too.
  reg::Clear();
  ULONG result = 0;
  UCHAR buffer[64];
  EXPECT_EQ(ZwQueryKey(parent, KeyBasicInformation, buffer, sizeof buffer, &result), STATUS_KEY_DELETED);
  EXPECT_EQ(ZwClose(parent), STATUS_SUCCESS);
  HANDLE hive = nullptr;
  ASSERT_EQ(Open(u"\\Registry\\Machine", &hive), STATUS_SUCCESS);
  EXPECT_EQ(ZwDeleteKey(hive), STATUS_ACCESS_DENIED);
  EXPECT_EQ(ZwClose(hive), STATUS_SUCCESS);
}

TEST_F(RegistryKeys, CallsAbovePassiveLevelAreReported) {
  HANDLE key = nullptr;
  ASSERT_EQ(Create(std::u16string(kSoftware) + u"\\Irql", &key), STATUS_SUCCESS);
  platform::verifier::ScopedCapture capture;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  Set(key, u"V", REG_DWORD, {1, 0, 0, 0});
  KeLowerIrql(old);
  ASSERT_EQ(capture.violations().size(), 1u);
  EXPECT_EQ(capture.violations()[0].check, platform::verifier::Check::IrqlMisuse);
  EXPECT_EQ(capture.violations()[0].api, "ZwSetValueKey");
  EXPECT_NE(capture.violations()[0].caller.find("registry_keys_test.cpp"), std::string::npos);
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

}  // namespace

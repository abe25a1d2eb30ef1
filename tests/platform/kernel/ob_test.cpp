#include "kernel/ob.h"

#include <gtest/gtest.h>

#include <string>

#include "kernel/ke.h"
#include "kernel/verifier.h"

namespace {
using platform::verifier::Check;
using platform::verifier::ScopedCapture;

UNICODE_STRING Name(const char16_t* text) {
  UNICODE_STRING s;
  s.Buffer = const_cast<PWSTR>(text);
  s.Length = static_cast<USHORT>(std::char_traits<char16_t>::length(text) * sizeof(WCHAR));
  s.MaximumLength = s.Length;
  return s;
}

PVOID MakeObject(POBJECT_TYPE type, int* destroyed, POBJECT_ATTRIBUTES attributes = nullptr) {
  platform::ob::CreateParams p;
  p.type = type;
  p.bodySize = 32;
  p.attributes = attributes;
  p.destroy = [destroyed](PVOID) { ++*destroyed; };
  PVOID body = nullptr;
  EXPECT_EQ(platform::ob::CreateObject(p, &body), STATUS_SUCCESS);
  return body;
}

TEST(ObjectManager, LastDereferenceDestroysTheObject) {
  int destroyed = 0;
  PVOID obj = MakeObject(*ExEventObjectType, &destroyed);
  EXPECT_EQ(ObReferenceObject(obj), 2);
  EXPECT_EQ(ObDereferenceObject(obj), 1);
  EXPECT_EQ(destroyed, 0);
  EXPECT_EQ(ObDereferenceObject(obj), 0);
  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(platform::ob::ReferenceCount(obj), -1);
}

TEST(ObjectManager, DereferenceBelowZeroAndStrayPointersAreReported) {
  int destroyed = 0;
  PVOID obj = MakeObject(*PsThreadType, &destroyed);
  ObDereferenceObject(obj);
  ScopedCapture capture;
  ObDereferenceObject(obj);
  ASSERT_EQ(capture.violations().size(), 1u);
  EXPECT_EQ(capture.violations()[0].check, Check::ReferenceBelowZero);
  EXPECT_NE(capture.violations()[0].caller.find("ob_test.cpp"), std::string::npos);
  int notAnObject = 0;
  ObReferenceObject(&notAnObject);
  EXPECT_TRUE(capture.Saw(Check::InvalidArgument));
  EXPECT_EQ(destroyed, 1);
}

TEST(ObjectManager, HandlesCheckTypeModeAndAccess) {
  int destroyed = 0;
  PVOID obj = MakeObject(*ExEventObjectType, &destroyed);
  HANDLE user = nullptr, kernel = nullptr;
  ASSERT_EQ(ObOpenObjectByPointer(obj, 0, nullptr, EVENT_MODIFY_STATE, *ExEventObjectType, KernelMode, &user),
            STATUS_SUCCESS);
  ASSERT_EQ(ObOpenObjectByPointer(obj, OBJ_KERNEL_HANDLE, nullptr, EVENT_ALL_ACCESS, nullptr, KernelMode, &kernel),
            STATUS_SUCCESS);
  EXPECT_FALSE(platform::ob::IsKernelHandle(user));
  EXPECT_TRUE(platform::ob::IsKernelHandle(kernel));
  ObDereferenceObject(obj);  // the handles keep it alive
  EXPECT_EQ(destroyed, 0);

  PVOID out = reinterpret_cast<PVOID>(1);
  EXPECT_EQ(ObReferenceObjectByHandle(user, 0, *PsThreadType, KernelMode, &out, nullptr), STATUS_OBJECT_TYPE_MISMATCH);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(ObReferenceObjectByHandle(kernel, 0, *ExEventObjectType, UserMode, &out, nullptr), STATUS_INVALID_HANDLE);
  EXPECT_EQ(ObReferenceObjectByHandle(user, EVENT_ALL_ACCESS, *ExEventObjectType, UserMode, &out, nullptr),
            STATUS_ACCESS_DENIED);
  OBJECT_HANDLE_INFORMATION info{};
  ASSERT_EQ(ObReferenceObjectByHandle(user, EVENT_MODIFY_STATE, *ExEventObjectType, UserMode, &out, &info),
            STATUS_SUCCESS);
  EXPECT_EQ(out, obj);
  EXPECT_EQ(info.GrantedAccess, EVENT_MODIFY_STATE);
  ObDereferenceObject(out);

  EXPECT_EQ(ZwClose(user), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(user), STATUS_INVALID_HANDLE);
  EXPECT_EQ(ObReferenceObjectByHandle(user, 0, nullptr, KernelMode, &out, nullptr), STATUS_INVALID_HANDLE);
  EXPECT_EQ(destroyed, 0);
  EXPECT_EQ(ZwClose(kernel), STATUS_SUCCESS);
  EXPECT_EQ(destroyed, 1);
}

TEST(ObjectManager, NamedObjectsOpenCaseInsensitivelyAndOpenIfSharesOne) {
  int destroyed = 0;
  UNICODE_STRING name = Name(u"\\Callback\\TestObject");
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_OPENIF, nullptr, nullptr);
  PVOID first = MakeObject(*ExCallbackObjectType, &destroyed, &oa);

  UNICODE_STRING other = Name(u"\\CALLBACK\\testobject");
  OBJECT_ATTRIBUTES oa2;
  InitializeObjectAttributes(&oa2, &other, OBJ_CASE_INSENSITIVE | OBJ_OPENIF, nullptr, nullptr);
  platform::ob::CreateParams p;
  p.type = *ExCallbackObjectType;
  p.bodySize = 32;
  p.attributes = &oa2;
  PVOID second = nullptr;
  EXPECT_EQ(platform::ob::CreateObject(p, &second), STATUS_OBJECT_NAME_EXISTS);
  EXPECT_EQ(second, first);
  oa2.Attributes = OBJ_CASE_INSENSITIVE;
  EXPECT_EQ(platform::ob::CreateObject(p, &second), STATUS_OBJECT_NAME_COLLISION);
  p.type = *ExEventObjectType;
  oa2.Attributes = OBJ_OPENIF;
  EXPECT_EQ(platform::ob::CreateObject(p, &second), STATUS_OBJECT_TYPE_MISMATCH);

  PVOID opened = nullptr;
  EXPECT_EQ(platform::ob::OpenObjectByName(&other, *ExCallbackObjectType, false, &opened), STATUS_SUCCESS);
  EXPECT_EQ(opened, first);
  EXPECT_EQ(platform::ob::ReferenceCount(first), 3);
  ObDereferenceObject(first);
  ObDereferenceObject(first);
  ObDereferenceObject(first);
  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(platform::ob::OpenObjectByName(&name, nullptr, true, &opened), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST(ObjectManager, PermanentObjectsOutliveTheirReferencesUntilMadeTemporary) {
  int destroyed = 0;
  UNICODE_STRING name = Name(u"\\Callback\\Permanent");
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &name, OBJ_PERMANENT, nullptr, nullptr);
  PVOID obj = MakeObject(*ExCallbackObjectType, &destroyed, &oa);
  ObDereferenceObject(obj);
  EXPECT_EQ(destroyed, 0);
  PVOID opened = nullptr;
  ASSERT_EQ(platform::ob::OpenObjectByName(&name, *ExCallbackObjectType, false, &opened), STATUS_SUCCESS);
  ObDereferenceObject(opened);
  {
    ScopedCapture capture;
    ObDereferenceObject(obj);
    EXPECT_TRUE(capture.Saw(Check::ReferenceBelowZero));
  }
  ObMakeTemporaryObject(obj);
  EXPECT_EQ(destroyed, 1);
}

TEST(ObjectManager, TestOwnedObjectsGetHandlesWithoutBeingFreed) {
  struct Event {
    int state;
  } event{7};
  HANDLE h = nullptr;
  ASSERT_EQ(platform::ob::CreateHandleForObject(&event, *ExEventObjectType, EVENT_MODIFY_STATE | SYNCHRONIZE, false, &h),
            STATUS_SUCCESS);
  PVOID out = nullptr;
  ASSERT_EQ(ObReferenceObjectByHandle(h, EVENT_MODIFY_STATE, *ExEventObjectType, UserMode, &out, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(out, &event);
  EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
  EXPECT_EQ(platform::ob::ReferenceCount(&event), 1);
  ObDereferenceObject(out);
  EXPECT_EQ(platform::ob::ReferenceCount(&event), -1);
  EXPECT_EQ(event.state, 7);
}

TEST(ObjectManager, UserEventsLiveAsLongAsTheirHandleAndReferences) {
  HANDLE handle = nullptr;
  KEVENT* event = nullptr;
  ASSERT_EQ(platform::ob::CreateUserEvent(false, false, &handle, &event), STATUS_SUCCESS);
  ASSERT_NE(event, nullptr);
  EXPECT_FALSE(platform::ob::IsKernelHandle(handle));
  PVOID object = nullptr;
  ASSERT_EQ(ObReferenceObjectByHandle(handle, EVENT_MODIFY_STATE, *ExEventObjectType, UserMode, &object, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(object, event);
  KeSetEvent(event, 0, FALSE);
  EXPECT_EQ(KeReadStateEvent(event), 1);
  EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
  EXPECT_EQ(platform::ob::ReferenceCount(object), 1);  // the driver's reference keeps it
  ObDereferenceObject(object);
  EXPECT_EQ(platform::ob::ReferenceCount(object), -1);
}

TEST(ObjectManager, LeakCheckNamesObjectsCreatedSinceTheMark) {
  int destroyed = 0;
  PVOID before = MakeObject(*ExEventObjectType, &destroyed);
  std::uint64_t mark = platform::ob::CurrentMark();
  EXPECT_TRUE(platform::ob::CheckNoLeakedObjects(mark));
  UNICODE_STRING name = Name(u"\\Device\\Leaky");
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &name, 0, nullptr, nullptr);
  PVOID leaked = MakeObject(*IoDeviceObjectType, &destroyed, &oa);
  {
    ScopedCapture capture;
    EXPECT_FALSE(platform::ob::CheckNoLeakedObjects(mark));
    ASSERT_EQ(capture.violations().size(), 1u);
    EXPECT_EQ(capture.violations()[0].check, Check::LeakAtTeardown);
    EXPECT_NE(capture.violations()[0].detail.find("Device"), std::string::npos);
    EXPECT_NE(capture.violations()[0].detail.find("\\Device\\Leaky"), std::string::npos);
    EXPECT_NE(capture.violations()[0].detail.find("ob_test.cpp"), std::string::npos);
  }
  ObDereferenceObject(leaked);
  EXPECT_TRUE(platform::ob::CheckNoLeakedObjects(mark));
  ObDereferenceObject(before);
  EXPECT_EQ(destroyed, 2);
}

TEST(ObjectManager, CurrentThreadPseudoHandleUsesTheResolver) {
  int destroyed = 0;
  PVOID thread = MakeObject(*PsThreadType, &destroyed);
  platform::ob::SetCurrentThreadResolver([thread] { return thread; });
  PVOID out = nullptr;
  EXPECT_EQ(ObReferenceObjectByHandle(NtCurrentThread(), THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &out, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(out, thread);
  platform::ob::SetCurrentThreadResolver(nullptr);
  ObDereferenceObject(out);
  ObDereferenceObject(thread);
  EXPECT_EQ(destroyed, 1);
}
}  // namespace

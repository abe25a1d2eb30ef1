// The entity base: identifier, type and a private copy of the source identifiers.
#include "adapter/uac_entity.h"

#include <gtest/gtest.h>

#include "support/fault_sweep.h"
#include "support/kernel_fixture.h"
#include "support/model_doubles.h"

namespace {

using adapter::IUacEntity;
using platform::testing::NewProbeEntity;

class UacEntity : public platform::testing::KernelTest {};

TEST_F(UacEntity, KeepsACopyOfItsSourcesInPagedPool) {
  auto* entity = NewProbeEntity(7, 3);
  ASSERT_NE(entity, nullptr);
  EXPECT_EQ(entity->GetId(), 7u);
  EXPECT_EQ(entity->GetType(), 3u);
  EXPECT_EQ(entity->GetSourceCount(), 0u);

  ULONG ids[] = {4, 5, 6};
  ASSERT_EQ(entity->SetSources(3, ids), STATUS_SUCCESS);
  ids[0] = 99;  // the entity keeps its own copy
  ULONG count = 0;
  const ULONG* sources = nullptr;
  ASSERT_EQ(entity->GetSources(&count, &sources), STATUS_SUCCESS);
  ASSERT_EQ(count, 3u);
  EXPECT_EQ(sources[0], 4u);
  EXPECT_EQ(sources[2], 6u);
  auto blocks = platform::pool::LiveBlocksWithTag(adapter::kEntityPoolTag);
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_TRUE(blocks[0].paged);

  ASSERT_EQ(entity->SetSources(0, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(entity->GetSourceCount(), 0u);
  EXPECT_TRUE(platform::pool::LiveBlocksWithTag(adapter::kEntityPoolTag).empty());
  entity->Release();
}

TEST_F(UacEntity, RefusesNullSourcesAndNullOutputs) {
  auto* entity = NewProbeEntity(1, 0);
  ASSERT_NE(entity, nullptr);
  EXPECT_EQ(entity->SetSources(2, nullptr), STATUS_INVALID_PARAMETER);
  ULONG count = 0;
  const ULONG* sources = nullptr;
  EXPECT_EQ(entity->GetSources(nullptr, &sources), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(entity->GetSources(&count, nullptr), STATUS_INVALID_PARAMETER);
  entity->Release();
}

TEST_F(UacEntity, AnswersItsInterfaceAndTheBaseUnknown) {
  auto* entity = NewProbeEntity(1, 0);
  ASSERT_NE(entity, nullptr);
  PVOID itf = nullptr;
  ASSERT_EQ(entity->QueryInterface(adapter::IID_IUacEntity, &itf), STATUS_SUCCESS);
  EXPECT_EQ(itf, static_cast<IUacEntity*>(entity));
  EXPECT_EQ(entity->References(), 2);
  static_cast<IUacEntity*>(itf)->Release();
  ASSERT_EQ(entity->QueryInterface(IID_IUnknown, &itf), STATUS_SUCCESS);
  EXPECT_EQ(itf, entity->NonDelegatingUnknown());
  static_cast<PUNKNOWN>(itf)->Release();
  EXPECT_EQ(entity->QueryInterface(adapter::IID_ITerminalNode, &itf), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(itf, nullptr);
  entity->Release();
}

TEST_F(UacEntity, SourcesWithoutMemoryKeepTheOldOnes) {
  auto* entity = NewProbeEntity(1, 0);
  ASSERT_NE(entity, nullptr);
  const ULONG first[] = {8};
  ASSERT_EQ(entity->SetSources(1, first), STATUS_SUCCESS);
  const ULONG second[] = {2, 3};
  platform::testing::ForEachAllocationFailure([&](platform::testing::FaultSweep& sweep) {
    sweep.Arm();
    NTSTATUS status = entity->SetSources(2, second);
    if (sweep.Disarm()) {
      EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
      EXPECT_EQ(entity->GetSourceCount(), 1u);
    } else {
      EXPECT_EQ(status, STATUS_SUCCESS);
      EXPECT_EQ(entity->GetSourceCount(), 2u);
      entity->SetSources(0, nullptr);  // nothing made in this run stays
    }
  });
  entity->Release();
}

}  // namespace

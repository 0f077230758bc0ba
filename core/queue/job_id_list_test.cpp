#include "core/queue/job_id_list.h"

#include <gtest/gtest.h>

namespace {

// Leaves the process-wide abort event clear whatever the test did.
struct AbortEventReset {
  ~AbortEventReset() { g_AbortEvent.Reset(); }
};

TEST(JobIdListTest, AllocateIsRefusedWhileTheAbortEventIsSet) {
  AbortEventReset reset;
  CJobIdList list;  // watches g_AbortEvent
  EXPECT_EQ(list.Allocate(), 1);
  g_AbortEvent.Set();
  EXPECT_EQ(list.Allocate(), 0);
  EXPECT_EQ(list.Allocate(), 0);
  EXPECT_EQ(list.GetCount(), 1);
  g_AbortEvent.Reset();
  EXPECT_EQ(list.Allocate(), 2) << "continues from the last id";
  EXPECT_EQ(list.GetCount(), 2);
}

TEST(JobIdListTest, ReleaseRemovesAnIdInFlightOnlyAndClearEmptiesTheList) {
  platform::Event abort(platform::Event::Mode::kManualReset);
  CJobIdList list(&abort);
  EXPECT_FALSE(list.Release(1));
  const int a = list.Allocate();
  const int b = list.Allocate();
  EXPECT_TRUE(list.Release(a));
  EXPECT_FALSE(list.Release(a));
  EXPECT_EQ(list.GetCount(), 1);
  list.Clear();
  EXPECT_EQ(list.GetCount(), 0);
  EXPECT_FALSE(list.Release(b));
  EXPECT_EQ(list.Allocate(), 3);
}

TEST(JobIdListTest, IdAfter999999WrapsAndSkipsAnIdInFlight) {
  platform::Event abort(platform::Event::Mode::kManualReset);
  CJobIdList list(&abort);
  ASSERT_EQ(list.Allocate(), 1);  // stays in flight
  for (int expected = 2; expected <= CJobIdList::kMaxId; ++expected) {
    ASSERT_EQ(list.Allocate(), expected);
    ASSERT_TRUE(list.Release(expected));
  }
  EXPECT_EQ(list.Allocate(), 2);
  ASSERT_TRUE(list.Release(1));
  ASSERT_TRUE(list.Release(2));
  EXPECT_EQ(list.Allocate(), 3);
}

}  // namespace

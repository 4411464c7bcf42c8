#include "app/clock.h"

#include <gtest/gtest.h>

#include <vector>

namespace ostrel {
namespace {

TEST(TickCompare, DeadlinesAcrossTheWrap) {
  struct Case {
    uint32_t now, deadline;
    bool reached;
  } cases[] = {
      {0, 1, false},
      {1, 1, true},
      {2, 1, true},
      {0xFFFFFF00u, 0x00000010u, false},  // deadline past the wrap
      {0x00000011u, 0x00000010u, true},
      {0xFFFFFFFFu, 0u, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(tickReached(c.now, c.deadline), c.reached) << c.now << " vs " << c.deadline;
    EXPECT_EQ(tickBefore(c.now, c.deadline), !c.reached);
  }
}

TEST(VirtualClock, WaitJumpsToDeadlineWhenNothingHappens) {
  VirtualClock clock(100);
  EXPECT_FALSE(clock.waitUntil([] { return false; }, 2100));
  EXPECT_EQ(clock.tick(), 2100u);
}

TEST(VirtualClock, EventsRunInTimeOrderAndEndTheWait) {
  VirtualClock clock;
  std::vector<int> order;
  bool done = false;
  clock.schedule(300, [&] {
    order.push_back(3);
    done = true;
  });
  clock.schedule(100, [&] { order.push_back(1); });
  clock.schedule(100, [&] { order.push_back(2); });  // same time: in scheduling order
  EXPECT_TRUE(clock.waitUntil([&] { return done; }, 1000));
  EXPECT_EQ(clock.tick(), 300u);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(VirtualClock, EventsAfterTheDeadlineStayPending) {
  VirtualClock clock;
  int ran = 0;
  clock.schedule(500, [&] { ++ran; });
  EXPECT_FALSE(clock.waitUntil([] { return false; }, 499));
  EXPECT_EQ(ran, 0);
  EXPECT_EQ(clock.pendingCount(), 1u);
  clock.advance(1);
  EXPECT_EQ(ran, 1);
}

TEST(VirtualClock, WaitAcrossTheTickWrapLastsItsTime) {
  VirtualClock clock(0xFFFFFF00u);
  uint32_t start = clock.tick();
  EXPECT_FALSE(clock.waitUntil([] { return false; }, start + 1000));
  EXPECT_EQ(uint32_t(clock.tick() - start), 1000u);
}

TEST(VirtualClock, CancelledEventNeverRuns) {
  VirtualClock clock;
  int ran = 0;
  TimerId id = clock.schedule(10, [&] { ++ran; });
  clock.cancel(id);
  clock.advance(100);
  EXPECT_EQ(ran, 0);
}

TEST(VirtualClock, EventScheduledFromAnEventRunsInTheSameWait) {
  VirtualClock clock;
  bool done = false;
  clock.schedule(10, [&] { clock.schedule(20, [&] { done = true; }); });
  EXPECT_TRUE(clock.waitUntil([&] { return done; }, 1000));
  EXPECT_EQ(clock.tick(), 30u);
}

}  // namespace
}  // namespace ostrel

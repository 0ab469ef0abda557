// test_platform.cpp — process services: workers on threads kept ready, counted wake-ups.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "control/view.h"
#include "platform/proc.h"

namespace zd::test {
namespace {

// n workers that each wait until all n have started: only workers that really run at the same
// time get through. The wait gives up after a long time, so that a fault fails, not hangs.
struct Meeting {
  int n = 0;
  std::atomic<int> arrived{0};
  std::atomic<int> met{0};
  std::vector<int> seen;  // written by worker i, read after every wake-up

  struct Ticket {
    Meeting* m;
    int i;
  };
  static void attend(void* arg) {
    const Ticket& t = *static_cast<const Ticket*>(arg);
    Meeting& m = *t.m;
    m.arrived.fetch_add(1);
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (m.arrived.load() < m.n && std::chrono::steady_clock::now() < give_up) {
      std::this_thread::yield();
    }
    if (m.arrived.load() >= m.n) m.met.fetch_add(1);
    m.seen[t.i] = t.i + 1;
    unblockproc(pid);
  }

  // Starts n workers, takes their n wake-ups; true if all of them met.
  bool hold(int workers) {
    n = workers;
    arrived = 0;
    met = 0;
    seen.assign(n, 0);
    std::vector<Ticket> tickets;
    for (int i = 0; i < n; ++i) tickets.push_back({this, i});
    for (int i = 0; i < n; ++i) {
      if (sproc(&Meeting::attend, 0, &tickets[i]) == -1) return false;
    }
    for (int i = 0; i < n; ++i) blockproc(pid);
    for (int i = 0; i < n; ++i) {
      if (seen[i] != i + 1) return false;
    }
    return met.load() == n;
  }
};

class Workers : public ::testing::Test {
 protected:
  void SetUp() override {
    pid = getpid();
    proctest::fail_sproc(0);
    while (proctest::wakeups() > 0) blockproc(pid);
  }
  // Waits until every thread started is parked again (a worker's thread parks just after its
  // wake-up); returns their number.
  static int settle() {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (proctest::threads_parked() < proctest::threads_started() &&
           std::chrono::steady_clock::now() < give_up) {
      std::this_thread::yield();
    }
    EXPECT_EQ(proctest::threads_parked(), proctest::threads_started());
    return proctest::threads_started();
  }
};

TEST_F(Workers, RunAtTheSameTimeOnThreadsKeptReady) {
  Meeting m;
  const int before = settle();
  ASSERT_TRUE(m.hold(3));
  const int pool = settle();
  EXPECT_EQ(pool, std::max(before, 3));
  // With every thread back, as many workers as before need no new thread; more workers need
  // only the difference, and all run at once.
  for (int round = 0; round < 20; ++round) {
    ASSERT_TRUE(m.hold(3)) << "round " << round;
    EXPECT_EQ(settle(), pool) << "round " << round;
  }
  ASSERT_TRUE(m.hold(pool + 2));
  EXPECT_EQ(settle(), pool + 2);
  EXPECT_EQ(proctest::wakeups(), 0) << "every wake-up taken, none lost";
}

TEST_F(Workers, AFailedStartStartsNothing) {
  Meeting m;
  m.n = 1;
  m.seen.assign(1, 0);
  Meeting::Ticket t{&m, 0};
  proctest::fail_sproc(2);
  EXPECT_EQ(sproc(&Meeting::attend, 0, &t), -1);
  EXPECT_EQ(sproc(&Meeting::attend, 0, &t), -1);
  EXPECT_GT(sproc(&Meeting::attend, 0, &t), 0);
  blockproc(pid);
  EXPECT_EQ(m.seen[0], 1);
  EXPECT_EQ(m.arrived.load(), 1) << "only the started worker ran";
  EXPECT_EQ(proctest::wakeups(), 0);
}

}  // namespace
}  // namespace zd::test

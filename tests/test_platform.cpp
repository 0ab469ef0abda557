// test_platform.cpp — process services: workers on threads kept ready, counted wake-ups.
#include <atomic>
#include <chrono>
#include <thread>

#include "program.h"

namespace zd::test {
namespace {

// Waits until cond() or a long time has passed, so that a fault fails, not hangs.
template <class Cond>
bool wait_for(Cond cond) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!cond() && std::chrono::steady_clock::now() < give_up) std::this_thread::yield();
  return cond();
}

// Workers that each wait until all of them have started: only workers that run at once meet.
struct Meeting {
  int n = 0;
  std::atomic<int> arrived{0}, met{0};
  static void attend(void* arg) {
    Meeting& m = *static_cast<Meeting*>(arg);
    m.arrived.fetch_add(1);
    if (wait_for([&] { return m.arrived.load() >= m.n; })) m.met.fetch_add(1);
    unblockproc(prog.pid);
  }
  // Starts n workers and takes their n wake-ups; true if all of them met.
  bool hold(int workers) {
    n = workers;
    arrived = met = 0;
    for (int i = 0; i < n; ++i) {
      if (sproc(&Meeting::attend, 0, this) == -1) return false;
    }
    for (int i = 0; i < n; ++i) blockproc(prog.pid);
    return met.load() == n;
  }
};

// The number of threads started, once all of them are parked again (a worker's thread parks
// just after its wake-up).
int settled() {
  EXPECT_TRUE(wait_for([] { return proctest::threads_parked() == proctest::threads_started(); }));
  return proctest::threads_started();
}

TEST_F(Program, WorkersRunAtTheSameTimeOnThreadsKeptReady) {
  prog.pid = getpid();
  Meeting m;
  const int before = settled();
  ASSERT_TRUE(m.hold(3));
  const int pool = settled();
  EXPECT_EQ(pool, std::max(before, 3));
  // With every thread back, as many workers as before need no new thread; more workers need
  // only the difference, and all run at once.
  for (int round = 0; round < 5; ++round) {
    ASSERT_TRUE(m.hold(3)) << "round " << round;
    EXPECT_EQ(settled(), pool) << "round " << round;
  }
  ASSERT_TRUE(m.hold(pool + 2));
  EXPECT_EQ(settled(), pool + 2);
  EXPECT_EQ(proctest::wakeups(), 0) << "every wake-up taken, none lost";
}

}  // namespace
}  // namespace zd::test

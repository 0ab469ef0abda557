// proc.cpp — process services over std::thread and a mutex-guarded wake-up count.
#include "platform/proc.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace zd {

namespace {
struct ProcState {
  std::mutex m;
  std::condition_variable cv;
  // A plain counter rather than std::counting_semaphore: with no workers every region gives
  // the main process a wake-up nobody takes, so the count grows without bound.
  long long count = 0;
  std::atomic<int> next_id{0};
  std::atomic<int> failures{0};
  void (*sleep_fn)(unsigned) = nullptr;
};
// Never destroyed: a detached worker may still be leaving unblockproc while the process exits.
ProcState& ps = *new ProcState;
}  // namespace

int sproc(entry_fn entry, unsigned /*share_mask*/, void* arg) {
  if (ps.failures.load() > 0 && ps.failures.fetch_sub(1) > 0) return -1;
  try {
    // Detached: nothing ever waits for a worker; its wake-up is its last act.
    std::thread(entry, arg).detach();
  } catch (const std::system_error&) {
    return -1;
  }
  return 1 + ps.next_id.fetch_add(1);
}

int unblockproc(int p) {
  if (p != getpid()) return -1;
  std::lock_guard<std::mutex> lock(ps.m);
  ++ps.count;
  ps.cv.notify_one();
  return 0;
}

int blockproc(int p) {
  if (p != getpid()) return -1;
  std::unique_lock<std::mutex> lock(ps.m);
  ps.cv.wait(lock, [] { return ps.count > 0; });
  --ps.count;
  return 0;
}

int getpid() { return static_cast<int>(::getpid()); }

void sleep(unsigned seconds) {
  if (ps.sleep_fn) {
    ps.sleep_fn(seconds);
  } else {
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
  }
}

void nocldwait() {
  struct sigaction sa {};
  sigaction(SIGCHLD, nullptr, &sa);
  sa.sa_flags |= SA_NOCLDWAIT;
  sigaction(SIGCHLD, &sa, nullptr);
}

namespace proctest {
void fail_sproc(int n) { ps.failures.store(n); }
void set_sleep(void (*fn)(unsigned)) { ps.sleep_fn = fn; }
long long wakeups() {
  std::lock_guard<std::mutex> lock(ps.m);
  return ps.count;
}
}  // namespace proctest

}  // namespace zd

// proc.cpp — process services over std::thread and a mutex-guarded wake-up count.
#include "platform/proc.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
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
  void (*start_fn)(entry_fn, void*) = nullptr;
};

// Threads kept ready for workers. Starting a thread costs tens of microseconds and the
// renderer starts its workers afresh for every region, up to a few hundred times a second
// while a button is held; a parked thread starts in a few. The pool grows to the largest
// number of workers running at once and never shrinks.
struct Pool {
  struct Job {
    entry_fn entry;
    void* arg;
  };
  std::mutex m;
  std::condition_variable ready;
  std::deque<Job> jobs;  // started, not yet taken by a thread
  int parked = 0;        // threads waiting for a job
  int threads = 0;       // threads started
};

// Never destroyed: detached workers and parked threads may use them while the process exits.
ProcState& ps = *new ProcState;
Pool& pool = *new Pool;

// A pool thread: runs its first job, then whatever it is handed, for the rest of the process.
// Detached: nothing waits for it, and a thread parked at exit does not hold the exit up.
void serve(Pool::Job job) {
  for (;;) {
    job.entry(job.arg);
    std::unique_lock<std::mutex> lock(pool.m);
    ++pool.parked;
    pool.ready.wait(lock, [] { return !pool.jobs.empty(); });
    --pool.parked;
    job = pool.jobs.front();
    pool.jobs.pop_front();
  }
}
}  // namespace

int sproc(entry_fn entry, unsigned /*share_mask*/, void* arg) {
  if (ps.failures.load() > 0 && ps.failures.fetch_sub(1) > 0) return -1;
  if (ps.start_fn) ps.start_fn(entry, arg);
  {
    std::lock_guard<std::mutex> lock(pool.m);
    // Every queued job has a parked thread of its own coming for it; one more parked thread
    // can take this one.
    if (pool.parked > static_cast<int>(pool.jobs.size())) {
      pool.jobs.push_back({entry, arg});
      pool.ready.notify_one();
      return 1 + ps.next_id.fetch_add(1);
    }
  }
  try {
    std::thread(serve, Pool::Job{entry, arg}).detach();
  } catch (const std::system_error&) {
    return -1;
  }
  {
    std::lock_guard<std::mutex> lock(pool.m);
    ++pool.threads;
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

bool blockproc_for(int p, int ms) {
  if (p != getpid()) return false;
  std::unique_lock<std::mutex> lock(ps.m);
  if (!ps.cv.wait_for(lock, std::chrono::milliseconds(ms), [] { return ps.count > 0; })) {
    return false;
  }
  --ps.count;
  return true;
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

void proc_reset() {
  {
    std::lock_guard<std::mutex> lock(ps.m);
    ps.count = 0;
  }
  ps.failures.store(0);
  ps.sleep_fn = nullptr;
  ps.start_fn = nullptr;
}

namespace proctest {
void fail_sproc(int n) { ps.failures.store(n); }
void set_sleep(void (*fn)(unsigned)) { ps.sleep_fn = fn; }
void on_start(void (*fn)(entry_fn, void*)) { ps.start_fn = fn; }
long long wakeups() {
  std::lock_guard<std::mutex> lock(ps.m);
  return ps.count;
}
int threads_started() {
  std::lock_guard<std::mutex> lock(pool.m);
  return pool.threads;
}
int threads_parked() {
  std::lock_guard<std::mutex> lock(pool.m);
  return pool.parked;
}
}  // namespace proctest

}  // namespace zd

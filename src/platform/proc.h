// proc.h — process services: workers that share all memory with the main process, and a
// counted wake-up with which they report completion.
#pragma once

namespace zd {

using entry_fn = void (*)(void* arg);

// Starts a worker running entry(arg) concurrently with the caller, sharing all memory; it ends
// when entry returns. Returns the worker's id, or -1 if it could not be started (the caller may
// retry). share_mask is accepted for the callers' sake; workers always share everything.
// Workers run on threads kept ready from earlier workers when one is free, else on a new one.
int sproc(entry_fn entry, unsigned share_mask, void* arg);
// Adds one wake-up to process p's count, waking it if it waits in blockproc. -1 for an unknown p.
int unblockproc(int p);
// Takes one wake-up from the calling process's own count (p must be its id), sleeping while the
// count has none. Wake-ups given before the call still count. -1 for another p.
int blockproc(int p);
// The same, giving up after ms milliseconds: true if a wake-up was taken.
bool blockproc_for(int p, int ms);
// The id of the calling process (the same for every worker: they live in it).
int getpid();
// Pauses for the given number of seconds.
void sleep(unsigned seconds);
// Ended child processes are reaped by the system and never need to be waited for.
void nocldwait();

// Back to the state before the first worker: no wake-ups counted, test hooks off. Threads kept
// ready stay.
void proc_reset();

// Test hooks.
namespace proctest {
// The next n sproc calls fail with -1.
void fail_sproc(int n);
// Replaces sleep() (nullptr: the real one).
void set_sleep(void (*fn)(unsigned seconds));
// Calls fn with the entry and argument of every worker sproc starts, before it starts it.
void on_start(void (*fn)(entry_fn entry, void* arg));
// Wake-ups currently counted for the calling process.
long long wakeups();
// Threads sproc has started so far, and those of them waiting for a worker to run. A worker's
// thread parks just after its entry returns.
int threads_started();
int threads_parked();
}  // namespace proctest

}  // namespace zd

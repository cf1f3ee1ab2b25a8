// The worker threads: blocks are handed out in stream order and computed on any thread.
//
// The thread that runs fir reads, hands out and writes the blocks in stream
// order; each block is computed, start to finish, by whichever thread takes
// it first, the calling one included while it waits for the oldest. The
// queue holds the slots handed out and not yet taken, oldest first. POSIX
// threads, with static mutex and condition: nothing here has a destructor, so
// a fatal error may end the process while the workers wait or compute. The
// reading thread may wait for a block and for its input at once: a worker
// that finishes a block then says so on an event descriptor as well.
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

#include "base/signals.h"
#include "base/streams.h"
#include "filter/engine.h"

namespace {

constexpr int QUEUE = MAX_THREADS + EXTRA_SLOTS;

pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
int queue[QUEUE];
int queued_from;  // the oldest queued slot's place in queue
int queued;       // slots queued
bool done[QUEUE];
bool stopping;
pthread_t workers[MAX_THREADS];
int worker_count;
void (*task)(int slot);
int block_done = -1;  // the event descriptor, made once; -1 if it can't be
bool reader_waits;    // the reading thread waits on it

// Takes the oldest queued slot and computes it; the lock is held on entry
// and on return, not while computing.
void take_one() {
  const int slot = queue[queued_from];
  queued_from = (queued_from + 1) % QUEUE;
  queued--;
  pthread_mutex_unlock(&lock);
  task(slot);
  pthread_mutex_lock(&lock);
  done[slot] = true;
  pthread_cond_broadcast(&changed);
  if (reader_waits) {
    const uint64_t one = 1;
    if (write(block_done, &one, sizeof one) < 0) {
      // Only a counter at its limit refuses, and it is already readable.
    }
  }
}

void *work(void *) {
  pthread_mutex_lock(&lock);
  for (;;) {
    while (queued == 0 && !stopping) pthread_cond_wait(&changed, &lock);
    if (queued == 0) break;
    take_one();
  }
  pthread_mutex_unlock(&lock);
  return nullptr;
}

// Creates a thread on the given stack (0: the system's default) and, when
// on is not null, on those processors.
bool create_thread(pthread_t &thread, void *(*run)(void *), void *arg, size_t stack,
                   const cpu_set_t *on) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  if (stack != 0) pthread_attr_setstacksize(&attr, stack);
  if (on != nullptr) pthread_attr_setaffinity_np(&attr, sizeof *on, on);
  const bool created = pthread_create(&thread, &attr, run, arg) == 0;
  pthread_attr_destroy(&attr);
  return created;
}

}  // namespace

bool start_thread(pthread_t &thread, void *(*run)(void *), void *arg, size_t stack) {
  // The signals that stop a run go to the thread that reads, so that a
  // read it waits in returns; other threads start with them blocked.
  sigset_t stop;
  sigset_t before;
  sigemptyset(&stop);
  for (const int sig : STOP_SIGNALS) sigaddset(&stop, sig);
  // The thread starts on a processor other than this one, where the
  // process has another: placed by the system, a new thread waited for this
  // one's processor until this one blocked (2 ms while it computed, against
  // 0.13 ms elsewhere), so work begun beside this thread's ran after it.
  // Started, it may run anywhere the process may. A system that refuses
  // the placement gets the thread as it places it.
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  const int here = sched_getcpu();
  const bool elsewhere = here >= 0 && here < CPU_SETSIZE &&
                         pthread_getaffinity_np(pthread_self(), sizeof allowed, &allowed) == 0 &&
                         CPU_COUNT(&allowed) > 1 && CPU_ISSET(here, &allowed);
  cpu_set_t others = allowed;
  if (elsewhere) CPU_CLR(here, &others);
  pthread_sigmask(SIG_BLOCK, &stop, &before);
  const bool placed = elsewhere && create_thread(thread, run, arg, stack, &others);
  const bool started = placed || create_thread(thread, run, arg, stack, nullptr);
  if (placed) pthread_setaffinity_np(thread, sizeof allowed, &allowed);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  return started;
}

void start_workers(int count, void (*compute)(int slot)) {
  if (block_done < 0) block_done = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  task = compute;
  stopping = false;
  queued = 0;
  queued_from = 0;
  worker_count = 0;
  while (worker_count < count - 1 && worker_count < MAX_THREADS &&
         start_thread(workers[worker_count], work, nullptr, 0))
    worker_count++;
}

void hand_out(int slot) {
  pthread_mutex_lock(&lock);
  done[slot] = false;
  queue[(queued_from + queued) % QUEUE] = slot;
  queued++;
  pthread_cond_broadcast(&changed);
  pthread_mutex_unlock(&lock);
}

void wait_done(int slot) {
  pthread_mutex_lock(&lock);
  while (!done[slot]) {
    if (queued > 0)
      take_one();
    else
      pthread_cond_wait(&changed, &lock);
  }
  pthread_mutex_unlock(&lock);
}

bool wait_done_or_input(int slot, const byte_stream &in) {
  pthread_mutex_lock(&lock);
  for (;;) {
    if (done[slot]) break;
    if (queued > 0 && worker_count == 0) {
      take_one();
      continue;
    }
    if (block_done < 0) {
      pthread_cond_wait(&changed, &lock);
      continue;
    }
    reader_waits = true;
    pthread_mutex_unlock(&lock);
    pollfd ask[2] = {{in.fd, POLLIN, 0}, {block_done, POLLIN, 0}};
    const bool input = is_ready(in) || !wait_any(ask, 2) || ask[0].revents != 0;
    uint64_t count;
    if (read(block_done, &count, sizeof count) < 0) {
      // Nothing to take: no block ended since the last wait.
    }
    pthread_mutex_lock(&lock);
    reader_waits = false;
    if (input) {
      pthread_mutex_unlock(&lock);
      return false;
    }
  }
  pthread_mutex_unlock(&lock);
  return true;
}

void stop_workers() {
  pthread_mutex_lock(&lock);
  stopping = true;
  pthread_cond_broadcast(&changed);
  pthread_mutex_unlock(&lock);
  for (int i = 0; i < worker_count; i++) pthread_join(workers[i], nullptr);
  worker_count = 0;
}

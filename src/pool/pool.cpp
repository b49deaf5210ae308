// The process-wide task pool.
//
// A call of parallel_for becomes a Batch that lives on the caller's stack: the job, one
// Share of the items per possible participant, the stop flag and the failure slot. Each
// Share is a contiguous range [begin, end) packed into one 64-bit word: its owner takes the
// next item from the front with one fetch_add on its own cache line; a participant whose
// Share is empty steals the back half of the fullest other Share with one compare-exchange
// and carries on with that. So items go out one at a time (a huge item never holds small
// ones back), cheaply, and without a counter that every thread hammers.
//
// Batches waiting for help sit in an intrusive FIFO list owned by the pool (no allocation
// but the Share array per call). A worker takes the oldest batch, claims a Share and works
// until there is nothing left to run or steal, then unlinks the batch and leaves. The caller
// works on Share 0 the same way, then unlinks its batch so no new helper can join and waits
// until the last helper has left. The pool mutex is held only for these short list and
// helper-count updates, never while a job runs.
//
// Lifetime: the pool is allocated once and never freed; its threads are detached and sleep
// on a condition variable when there is nothing to do. No destructor runs at process exit.
//
// fork(): the prepare handler takes the creation lock and the pool mutex, so the list and
// the helper counts are consistent at the moment of the fork. The parent releases both. The
// child has none of the parent's workers: it forgets the parent's pool (leaking it, its mutex
// still held, its threads never joined) and releases the creation lock, and its next call
// builds a new pool.

#include "pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

namespace quelm::pool {

std::size_t worker_count() {
  // Start with the glibc default set size and grow it for machines with more CPUs.
  for (std::size_t cpus = CPU_SETSIZE; cpus <= (std::size_t{1} << 20); cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) break;
    const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
    CPU_ZERO_S(bytes, set);
    if (sched_getaffinity(0, bytes, set) == 0) {
      const int count = CPU_COUNT_S(bytes, set);
      CPU_FREE(set);
      return count > 0 ? static_cast<std::size_t>(count) : 1;
    }
    const int err = errno;
    CPU_FREE(set);
    if (err != EINVAL) break;
  }
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<std::size_t>(online) : 1;
}

namespace {

// True on pool workers, and on a caller while it runs items of its own call: a
// parallel_for made from there runs inline.
thread_local bool t_inside_job = false;

// One participant's share of the items of a batch: begin in the low half of the word, end
// in the high half. The owner takes its next item with a fetch_add (which may push begin one
// past end when the share is empty; any begin >= end means empty), thieves cut the back
// off with a compare-exchange, and the owner stores a freshly stolen range into its own
// empty share. Every change is a single atomic operation on the word, so the word always
// describes exactly the items that are still in the share.
struct alignas(64) Share {
  std::atomic<std::uint64_t> range{0};
};

constexpr std::uint64_t pack_range(std::uint64_t begin, std::uint64_t end) { return end << 32 | begin; }
constexpr std::uint64_t range_begin(std::uint64_t r) { return r & 0xffffffffu; }
constexpr std::uint64_t range_end(std::uint64_t r) { return r >> 32; }
constexpr std::uint64_t range_size(std::uint64_t r) {
  return range_end(r) > range_begin(r) ? range_end(r) - range_begin(r) : 0;
}

// Items of one batch, so that begin (plus the owner's one step past end) fits 32 bits.
// Longer calls run as consecutive batches.
constexpr std::size_t kMaxBatchItems = std::size_t{1} << 31;

struct Batch {
  Batch(std::size_t first_item, std::size_t count, JobRef j, std::size_t participants)
      : first(first_item), job(j), share_count(participants), shares(new Share[participants]) {
    for (std::size_t s = 0; s < share_count; ++s) {
      const std::uint64_t begin = count * s / share_count;
      const std::uint64_t end = count * (s + 1) / share_count;
      shares[s].range.store(pack_range(begin, end), std::memory_order_relaxed);
    }
  }

  const std::size_t first;  // the caller's index of item 0 of this batch
  const JobRef job;
  const std::size_t share_count;
  const std::unique_ptr<Share[]> shares;
  std::atomic<bool> stop{false};

  // Steals begun and steals finished (the thief's share refilled); see take_more().
  alignas(64) std::atomic<std::uint64_t> steals_begun{0};
  std::atomic<std::uint64_t> steals_done{0};

  // The failure slot: the first failure recorded wins.
  alignas(64) std::mutex failure_mutex;
  bool failed = false;
  std::optional<std::string> error;
  std::exception_ptr exception;

  // Guarded by the pool mutex.
  Batch* prev = nullptr;
  Batch* next = nullptr;
  bool linked = false;
  std::size_t helpers = 0;       // workers currently inside the batch
  std::size_t shares_given = 1;  // share 0 is the caller's
  std::condition_variable helpers_gone;
};

// Stops the call first, so the others see the stop as early as possible, then keeps the
// failure unless an earlier one was recorded.
void record_failure(Batch& b, std::optional<std::string> error, std::exception_ptr exception) {
  b.stop.store(true, std::memory_order_relaxed);
  std::lock_guard<std::mutex> lock(b.failure_mutex);
  if (!b.failed) {
    b.failed = true;
    b.error = std::move(error);
    b.exception = std::move(exception);
  }
}

void run_one(Batch& b, std::size_t item) noexcept {
  try {
    std::optional<std::string> result = b.job(b.first + item);
    if (result) record_failure(b, std::move(result), nullptr);
  } catch (...) {
    record_failure(b, std::nullopt, std::current_exception());
  }
}

// Refills the empty share `own` with the back half of the fullest other share. Returns false
// when the batch is stopped or no item is left anywhere.
//
// An item is either in a share or in transit inside a steal (cut off the victim, not yet
// stored into the thief's share). A scan that finds every share empty only proves the end
// if no steal was in transit meanwhile: steals_done is read before the scan and steals_begun
// after it; if they are equal, no steal began after the first read and none was unfinished
// at that point, and every finished steal's store is visible to the scan.
bool take_more(Batch& b, std::size_t own) {
  for (;;) {
    if (b.stop.load(std::memory_order_relaxed)) return false;
    const std::uint64_t done_before = b.steals_done.load(std::memory_order_seq_cst);
    std::size_t victim = own;
    std::uint64_t most = 0;
    for (std::size_t k = 1; k < b.share_count; ++k) {
      const std::size_t s = (own + k) % b.share_count;
      const std::uint64_t size = range_size(b.shares[s].range.load(std::memory_order_seq_cst));
      if (size > most) {
        most = size;
        victim = s;
      }
    }
    if (victim == own) {
      if (b.steals_begun.load(std::memory_order_seq_cst) == done_before) return false;
      std::this_thread::yield();  // another participant is moving items; look again
      continue;
    }
    b.steals_begun.fetch_add(1, std::memory_order_seq_cst);
    bool got = false;
    std::atomic<std::uint64_t>& from = b.shares[victim].range;
    std::uint64_t r = from.load(std::memory_order_seq_cst);
    while (range_size(r) > 0) {
      const std::uint64_t begin = range_begin(r);
      const std::uint64_t end = range_end(r);
      const std::uint64_t cut = end - (end - begin + 1) / 2;  // the victim keeps [begin, cut)
      if (from.compare_exchange_weak(r, pack_range(begin, cut), std::memory_order_seq_cst)) {
        b.shares[own].range.store(pack_range(cut, end), std::memory_order_seq_cst);
        got = true;
        break;
      }
    }
    b.steals_done.fetch_add(1, std::memory_order_seq_cst);
    if (got) return true;
  }
}

// Runs items of b from share `own`, stealing when it runs dry, until nothing is left or the
// call is stopped. Never throws.
void run_items(Batch& b, std::size_t own) noexcept {
  std::atomic<std::uint64_t>& mine = b.shares[own].range;
  for (;;) {
    if (b.stop.load(std::memory_order_relaxed)) return;
    const std::uint64_t r = mine.fetch_add(1, std::memory_order_relaxed);
    if (range_begin(r) < range_end(r)) {
      run_one(b, range_begin(r));
    } else if (!take_more(b, own)) {
      return;
    }
  }
}

// Runs every item on the calling thread, in order, stopping at the first failure; an
// exception simply propagates.
std::optional<std::string> run_inline(std::size_t n, JobRef job) {
  for (std::size_t i = 0; i < n; ++i) {
    std::optional<std::string> result = job(i);
    if (result) return result;
  }
  return std::nullopt;
}

class Pool {
 public:
  explicit Pool(std::size_t wanted_threads) {
    // Workers inherit a fully blocked signal mask: signals sent to the process are then
    // delivered to the application's own threads (the interpreter's main thread), never to
    // a worker.
    sigset_t all, previous;
    sigfillset(&all);
    const bool masked = pthread_sigmask(SIG_SETMASK, &all, &previous) == 0;
    for (std::size_t k = 0; k < wanted_threads; ++k) {
      try {
        std::thread(&Pool::worker_main, this).detach();
        ++threads_;
      } catch (const std::system_error&) {
        break;  // run with the threads we have; zero threads means inline execution
      }
    }
    if (masked) pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  }

  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  std::size_t threads() const { return threads_; }

  std::optional<std::string> run(std::size_t n, JobRef job) {
    for (std::size_t first = 0; first < n; first += kMaxBatchItems) {
      std::optional<std::string> error = run_batch(first, std::min(kMaxBatchItems, n - first), job);
      if (error) return error;
    }
    return std::nullopt;
  }

  // Taken across fork() by the fork handlers.
  std::mutex mutex_;

 private:
  std::optional<std::string> run_batch(std::size_t first, std::size_t count, JobRef job) {
    Batch b(first, count, job, threads_ + 1);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      link(&b);
      // The caller works too; wake a sleeper for every further share that has items.
      const std::size_t wake = std::min({count - 1, threads_, sleeping_});
      for (std::size_t k = 0; k < wake; ++k) work_available_.notify_one();
    }

    t_inside_job = true;
    run_items(b, 0);
    t_inside_job = false;

    {
      std::unique_lock<std::mutex> lock(mutex_);
      if (b.linked) unlink(&b);
      b.helpers_gone.wait(lock, [&b] { return b.helpers == 0; });
    }

    if (b.exception) std::rethrow_exception(b.exception);
    return std::move(b.error);
  }

  void worker_main() {
    t_inside_job = true;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      Batch* b = head_;
      if (b == nullptr) {
        ++sleeping_;
        work_available_.wait(lock);
        --sleeping_;
        continue;
      }
      // A worker leaves a batch only when the batch has nothing left, and unlinks it then,
      // so it joins each batch at most once and there is always a share for it. Should
      // every share be taken all the same, the batch needs no further help.
      if (b->shares_given == b->share_count) {
        unlink(b);
        continue;
      }
      const std::size_t own = b->shares_given++;
      ++b->helpers;
      lock.unlock();
      run_items(*b, own);
      lock.lock();
      // Nothing is left to run or steal, or the call was stopped: nobody else should join.
      if (b->linked) unlink(b);
      // Notify while holding the mutex: once it is released the caller may return and
      // destroy the batch, so b must not be touched after that.
      if (--b->helpers == 0) b->helpers_gone.notify_one();
    }
  }

  void link(Batch* b) {
    b->prev = tail_;
    b->next = nullptr;
    if (tail_ != nullptr) {
      tail_->next = b;
    } else {
      head_ = b;
    }
    tail_ = b;
    b->linked = true;
  }

  void unlink(Batch* b) {
    if (b->prev != nullptr) {
      b->prev->next = b->next;
    } else {
      head_ = b->next;
    }
    if (b->next != nullptr) {
      b->next->prev = b->prev;
    } else {
      tail_ = b->prev;
    }
    b->prev = b->next = nullptr;
    b->linked = false;
  }

  std::condition_variable work_available_;
  Batch* head_ = nullptr;
  Batch* tail_ = nullptr;
  std::size_t sleeping_ = 0;
  std::size_t threads_ = 0;
};

// Guards the creation of the pool; held across fork().
pthread_mutex_t g_create_lock = PTHREAD_MUTEX_INITIALIZER;
std::atomic<Pool*> g_pool{nullptr};
// The pool whose mutex the prepare handler took (touched only by the forking thread).
Pool* g_pool_locked_for_fork = nullptr;

void before_fork() {
  pthread_mutex_lock(&g_create_lock);
  Pool* p = g_pool.load(std::memory_order_acquire);
  if (p != nullptr) p->mutex_.lock();
  g_pool_locked_for_fork = p;
}

void after_fork_parent() {
  if (g_pool_locked_for_fork != nullptr) g_pool_locked_for_fork->mutex_.unlock();
  g_pool_locked_for_fork = nullptr;
  pthread_mutex_unlock(&g_create_lock);
}

void after_fork_child() {
  // The parent's workers do not exist here: leave its pool alone for good.
  g_pool_locked_for_fork = nullptr;
  g_pool.store(nullptr, std::memory_order_release);
  pthread_mutex_unlock(&g_create_lock);
}

std::atomic<bool> g_fork_handlers_registered{false};

// Must not be called with g_create_lock held: fork() runs the prepare handlers under
// the C library's own handler lock, which pthread_atfork takes too.
bool register_fork_handlers() {
  if (!g_fork_handlers_registered.exchange(true, std::memory_order_acq_rel)) {
    if (pthread_atfork(before_fork, after_fork_parent, after_fork_child) != 0) {
      g_fork_handlers_registered.store(false, std::memory_order_release);
      return false;
    }
  }
  return true;
}

// Registered when the library is loaded, before any pool can exist.
[[maybe_unused]] const bool g_fork_handlers_at_load = register_fork_handlers();

struct CreateLockGuard {
  CreateLockGuard() { pthread_mutex_lock(&g_create_lock); }
  ~CreateLockGuard() { pthread_mutex_unlock(&g_create_lock); }
  CreateLockGuard(const CreateLockGuard&) = delete;
  CreateLockGuard& operator=(const CreateLockGuard&) = delete;
};

// The process-wide pool, created on first use; nullptr when the fork handlers could not be
// registered (a pool without them could leave a forked child waiting for dead threads), in
// which case every call runs inline.
Pool* default_pool() {
  Pool* p = g_pool.load(std::memory_order_acquire);
  if (p != nullptr) return p;
  if (!register_fork_handlers()) return nullptr;
  CreateLockGuard guard;
  p = g_pool.load(std::memory_order_relaxed);
  if (p == nullptr) {
    p = new Pool(worker_count() - 1);  // never deleted
    g_pool.store(p, std::memory_order_release);
  }
  return p;
}

}  // namespace

std::optional<std::string> parallel_for(std::size_t n, JobRef job) {
  if (n == 0) return std::nullopt;
  if (n == 1 || t_inside_job) return run_inline(n, job);
  Pool* pool = default_pool();
  if (pool == nullptr || pool->threads() == 0) return run_inline(n, job);
  return pool->run(n, job);
}

}  // namespace quelm::pool

// quelm's process-wide data-parallel task pool. What it promises:
//
//  * parallel_for(n, job) runs job(i) once for every i in [0, n) (unless a failure stops
//    the call first), spread over the pool's worker threads and the calling thread, and
//    returns only when every started job has finished. Every participant starts with a contiguous share of
//    the items and runs it front to back, one item at a time; a participant that runs dry
//    steals the back half of the fullest other share. So one huge item next to many small
//    ones balances, and a tiny item costs one uncontended atomic increment (no allocation,
//    no lock, no wake-up per item).
//  * Jobs write their results into caller-owned slots indexed by i, so results are in input
//    order whatever the scheduling. Everything a job writes is visible to the caller when
//    parallel_for returns.
//  * Failure: a job fails by returning an error text, or by letting an exception escape.
//    The first failure recorded wins (later ones are dropped) and stops the call: no item is
//    started once the stop is seen. After all participants have stopped, the first failure
//    is reported on the calling thread: an error text is returned, an exception is rethrown.
//  * n == 0 does nothing (no thread is created); n == 1, a call made from inside a job
//    (nested), and a pool of one CPU run the items inline on the calling thread, in order,
//    with the same failure rules.
//  * The pool is created on first use (thread-safe), has worker_count() - 1 worker threads
//    (the calling thread is the last participant), and lives until the process ends; it is
//    never torn down, so nothing joins threads at exit. Idle workers sleep on a condition
//    variable. Worker threads block all signals. The pool never calls into Python; jobs
//    must not either, since they run on worker threads.
//  * Several threads may call parallel_for at once; each call runs its own items and the
//    workers help the calls in arrival order. Nothing a caller waits for ever needs the
//    Python interpreter, so a caller may stay attached to it while it blocks.
//  * fork(): the pool's locks are held across fork(), so a child (even one forked while
//    another thread was inside parallel_for) abandons the parent's pool without touching
//    it and builds a fresh one on its first call.
//
// Standard library and POSIX only.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

namespace quelm::pool {

// Number of CPUs the calling thread may run on (its affinity mask, so taskset and cpuset
// limits count); at least 1. The pool is sized from this value when it is created.
std::size_t worker_count();

// A non-owning reference to a job: any callable taking the item index (std::size_t) and
// returning std::optional<std::string> (nullopt = success, a text = failure). Meant as a
// parameter type only: it must not outlive the callable it refers to.
class JobRef {
 public:
  using Result = std::optional<std::string>;

  template <class F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, JobRef> &&
             std::is_invocable_r_v<Result, F&, std::size_t>)
  JobRef(F&& f) noexcept {  // NOLINT: implicit on purpose, so lambdas pass directly
    using Target = std::remove_reference_t<F>;
    if constexpr (std::is_function_v<Target>) {
      target_.fn = reinterpret_cast<void (*)()>(&f);
      call_ = [](Storage s, std::size_t i) -> Result {
        return reinterpret_cast<Target*>(s.fn)(i);
      };
    } else {
      target_.obj = const_cast<void*>(static_cast<const void*>(std::addressof(f)));
      call_ = [](Storage s, std::size_t i) -> Result {
        return (*static_cast<Target*>(s.obj))(i);
      };
    }
  }

  Result operator()(std::size_t i) const { return call_(target_, i); }

 private:
  union Storage {
    void* obj;
    void (*fn)();
  };
  Storage target_;
  Result (*call_)(Storage, std::size_t);
};

// Runs job(i) for every i in [0, n) and blocks until every started job has finished.
// Returns nullopt when all succeeded, else the first error text recorded; rethrows the
// first exception instead when that was the first failure.
std::optional<std::string> parallel_for(std::size_t n, JobRef job);

}  // namespace quelm::pool

// The process-wide work-stealing worker pool: its size, its workers, and the
// fork-join primitive `join` on which every parallel loop is built.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "engine/work_stealing_deque.hpp"

namespace quorix {

// ---- Worker count -----------------------------------------------------------

// getenv's contract: the value, or nullptr when the variable is not set.
using EnvLookup = std::function<const char*(const char*)>;

// An optional leading '+', then one or more decimal digits, no overflow.
// Anything else (unset, empty, a '-' sign, letters) counts as not set.
std::optional<std::size_t> parse_thread_count(const char* text) noexcept;

// RAYON_NUM_THREADS (0 = the processor count, skipping the next variable),
// then RAYON_RS_NUM_CPUS, then `available()`.
std::size_t decide_worker_count(const EnvLookup& lookup,
                                const std::function<std::size_t()>& available);

// The CPU quota of a control group as whole CPUs (rounded down, at least 1),
// or nullopt when none is set. v2: the content of cpu.max ("max 100000" is
// none); v1: the contents of cpu.cfs_quota_us (-1 is none) and cpu.cfs_period_us.
std::optional<std::size_t> cgroup_v2_cpu_quota(std::string_view cpu_max) noexcept;
std::optional<std::size_t> cgroup_v1_cpu_quota(std::string_view quota,
                                               std::string_view period) noexcept;

// Processors in the affinity mask (else online processors, else 1), lowered
// to this process's control-group quota.
std::size_t available_processors();

// ---- Pool internals the templates need ---------------------------------------

class Pool;

namespace pool_detail {

// A unit of work living in the frame that forked it; that frame does not
// return before the job completed.
struct Job {
    using Run = void (*)(Job*) noexcept;
    explicit Job(Run run_) noexcept : run(run_) {}
    Run run;
};

struct Worker {
    Pool* pool = nullptr;
    std::size_t index = 0;
    std::uint64_t random = 0;  // victim choice when stealing
    WorkStealingDeque<Job, 1024> deque;

    // Pushes and wakes a sleeping worker; false when the deque is full.
    bool push(Job* job) noexcept;
    // Runs other jobs (own, stolen) until `done` turns true.
    void wait_until(const std::atomic<bool>& done) noexcept;
};

// The worker the calling thread is, or nullptr for any other thread.
Worker* current_worker() noexcept;

// A job for the second half of a fork: runs a borrowed callable once.
template <class F>
struct StackJob : Job {
    explicit StackJob(F& f_) noexcept : Job(&execute), f(f_) {}
    static void execute(Job* base) noexcept {
        auto* self = static_cast<StackJob*>(base);
        try {
            self->f();
        } catch (...) {
            self->error = std::current_exception();
        }
        // Last touch of the job: the forking frame may return right after.
        self->done.store(true, std::memory_order_release);
    }
    F& f;
    std::exception_ptr error;
    std::atomic<bool> done{false};
};

// A job handed in from a thread outside the pool, which sleeps on the latch.
template <class F>
struct LatchJob : Job {
    explicit LatchJob(F& f_) noexcept : Job(&execute), f(f_) {}
    static void execute(Job* base) noexcept {
        auto* self = static_cast<LatchJob*>(base);
        try {
            self->f();
        } catch (...) {
            self->error = std::current_exception();
        }
        // Notify while holding the mutex: once it is released the waiter may
        // return and destroy the job, so nothing touches it afterwards.
        std::lock_guard<std::mutex> lock(self->mutex);
        self->done = true;
        self->opened.notify_all();
    }
    void wait() {
        std::unique_lock<std::mutex> lock(mutex);
        opened.wait(lock, [this] { return done; });
    }
    F& f;
    std::exception_ptr error;
    std::mutex mutex;
    std::condition_variable opened;
    bool done = false;
};

}  // namespace pool_detail

// ---- The pool ----------------------------------------------------------------

class Pool {
public:
    // Starts `workers` (at least 1) detached threads. The pool is never
    // destroyed, since its detached workers use it until the process ends.
    // Fails with "The global thread pool has not been initialized.: <cause>".
    static Pool& create(std::size_t workers);

    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    std::size_t worker_count() const noexcept { return worker_count_; }

    // Runs `f` on a worker of this pool and returns when it is done,
    // rethrowing its failure. From a worker of this pool it runs `f` at once;
    // any other thread hands `f` in as one job and sleeps until it ran.
    template <class F>
    void install(F&& f) {
        pool_detail::Worker* self = pool_detail::current_worker();
        if (self != nullptr && self->pool == this) {
            f();
            return;
        }
        pool_detail::LatchJob<std::remove_reference_t<F>> job(f);
        inject(&job);
        job.wait();
        if (job.error) std::rethrow_exception(job.error);
    }

private:
    friend struct pool_detail::Worker;
    explicit Pool(std::size_t workers);
    void start_threads();
    void inject(pool_detail::Job* job);
    void notify_new_work() noexcept;
    pool_detail::Job* take_injected() noexcept;
    pool_detail::Job* steal_for(pool_detail::Worker& thief) noexcept;
    void run_worker(pool_detail::Worker& self) noexcept;
    static void* thread_main(void* worker) noexcept;

    std::size_t worker_count_;
    std::unique_ptr<pool_detail::Worker[]> workers_;

    std::mutex mutex_;                   // guards injected_ and the sleep
    std::condition_variable wake_;
    std::deque<pool_detail::Job*> injected_;
    std::atomic<std::size_t> injected_count_{0};  // lets searches skip the mutex
    std::atomic<std::uint64_t> work_epoch_{0};     // bumped on every push, see notify_new_work
    std::atomic<std::size_t> sleepers_{0};
};

// The process-wide pool, created on first use with the decided worker count.
Pool& global_pool();

// The pool that runs the current thread's forks: its own for a worker,
// else the global one.
Pool& current_pool();

// The worker count of current_pool().
std::size_t pool_worker_count();

// Runs `f` inside current_pool() (at once on a worker, else as a handed-in job).
template <class F>
void run_in_pool(F&& f) {
    pool_detail::Worker* self = pool_detail::current_worker();
    if (self != nullptr) {
        f();
    } else {
        global_pool().install(f);
    }
}

// Runs `a` and `b`, possibly in parallel, and returns when both are done.
// `b` is offered to idle workers while `a` runs on this thread. Failures:
// both halves always finish, then a's failure is rethrown, else b's.
template <class A, class B>
void join(A&& a, B&& b) {
    pool_detail::Worker* self = pool_detail::current_worker();
    if (self == nullptr) {
        global_pool().install([&] { join(a, b); });
        return;
    }
    using BFn = std::remove_reference_t<B>;
    pool_detail::StackJob<BFn> job_b(b);
    const bool offered = self->push(&job_b);

    std::exception_ptr error_a;
    try {
        a();
    } catch (...) {
        error_a = std::current_exception();
    }

    if (!offered) {
        job_b.run(&job_b);
    } else {
        // Every fork inside `a` took its own job back or waited for it, so the
        // bottom of the deque is job_b unless a thief took it.
        while (!job_b.done.load(std::memory_order_acquire)) {
            pool_detail::Job* job = self->deque.pop();
            if (job == nullptr) {
                self->wait_until(job_b.done);
                break;
            }
            job->run(job);  // job_b itself, in the usual case
        }
    }
    if (error_a) std::rethrow_exception(error_a);
    if (job_b.error) std::rethrow_exception(job_b.error);
}

}  // namespace quorix

// The worker pool: deciding its size, starting its workers, and how workers
// find work, steal and sleep.
#include "engine/pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <thread>

#include "engine/internal_error.hpp"

namespace quorix {

// ---- Worker count -----------------------------------------------------------

std::optional<std::size_t> parse_thread_count(const char* text) noexcept {
    if (text == nullptr) return std::nullopt;
    std::string_view digits(text);
    if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
    if (digits.empty()) return std::nullopt;
    std::size_t value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        const std::size_t digit = static_cast<std::size_t>(c - '0');
        if (value > (std::numeric_limits<std::size_t>::max() - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::size_t decide_worker_count(const EnvLookup& lookup,
                                const std::function<std::size_t()>& available) {
    if (const auto threads = parse_thread_count(lookup("RAYON_NUM_THREADS"))) {
        // 0 asks for the processor count and overrides the second variable.
        return *threads > 0 ? *threads : std::max<std::size_t>(available(), 1);
    }
    if (const auto cpus = parse_thread_count(lookup("RAYON_RS_NUM_CPUS")); cpus && *cpus > 0) {
        return *cpus;
    }
    return std::max<std::size_t>(available(), 1);
}

namespace {

std::string_view trim(std::string_view text) noexcept {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.remove_suffix(1);
    while (!text.empty() && (text.front() == '\n' || text.front() == ' ')) text.remove_prefix(1);
    return text;
}

template <class Int>
std::optional<Int> parse_int(std::string_view text) noexcept {
    text = trim(text);
    Int value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<std::size_t> whole_cpus(long long quota, long long period) noexcept {
    if (quota <= 0 || period <= 0) return std::nullopt;
    return static_cast<std::size_t>(std::max<long long>(quota / period, 1));
}

}  // namespace

std::optional<std::size_t> cgroup_v2_cpu_quota(std::string_view cpu_max) noexcept {
    cpu_max = trim(cpu_max);
    const std::size_t space = cpu_max.find(' ');
    if (space == std::string_view::npos) return std::nullopt;
    const auto quota = parse_int<long long>(cpu_max.substr(0, space));  // "max" fails here: no quota
    const auto period = parse_int<long long>(cpu_max.substr(space + 1));
    if (!quota || !period) return std::nullopt;
    return whole_cpus(*quota, *period);
}

std::optional<std::size_t> cgroup_v1_cpu_quota(std::string_view quota,
                                               std::string_view period) noexcept {
    const auto q = parse_int<long long>(quota);  // -1: no quota
    const auto p = parse_int<long long>(period);
    if (!q || !p) return std::nullopt;
    return whole_cpus(*q, *p);
}

namespace {

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream in(path);
    if (!in) return std::nullopt;
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// The quota of the control group this process belongs to, v2 first, then v1.
std::optional<std::size_t> cgroup_cpu_quota() {
    std::string v2_path, v1_path;
    if (const auto groups = read_file("/proc/self/cgroup")) {
        std::istringstream lines(*groups);
        std::string line;
        while (std::getline(lines, line)) {
            // "hierarchy-id:controllers:path"
            const std::size_t first = line.find(':');
            const std::size_t second = line.find(':', first + 1);
            if (first == std::string::npos || second == std::string::npos) continue;
            const std::string controllers = line.substr(first + 1, second - first - 1);
            const std::string path = line.substr(second + 1);
            if (line.compare(0, first, "0") == 0 && controllers.empty()) v2_path = path;
            std::istringstream names(controllers);
            std::string name;
            while (std::getline(names, name, ',')) {
                if (name == "cpu") v1_path = path;
            }
        }
    }
    for (const std::string& dir : {"/sys/fs/cgroup" + v2_path, std::string("/sys/fs/cgroup")}) {
        if (const auto cpu_max = read_file(dir + "/cpu.max")) return cgroup_v2_cpu_quota(*cpu_max);
    }
    for (const std::string& root : {std::string("/sys/fs/cgroup/cpu"),
                                    std::string("/sys/fs/cgroup/cpu,cpuacct")}) {
        for (const std::string& dir : {root + v1_path, root}) {
            const auto quota = read_file(dir + "/cpu.cfs_quota_us");
            const auto period = read_file(dir + "/cpu.cfs_period_us");
            if (quota && period) return cgroup_v1_cpu_quota(*quota, *period);
        }
    }
    return std::nullopt;
}

}  // namespace

std::size_t available_processors() {
    std::size_t count = 0;
    cpu_set_t mask;
    CPU_ZERO(&mask);
    if (sched_getaffinity(0, sizeof mask, &mask) == 0) {
        count = static_cast<std::size_t>(CPU_COUNT(&mask));
    } else if (const long online = sysconf(_SC_NPROCESSORS_ONLN); online > 0) {
        count = static_cast<std::size_t>(online);
    } else {
        return 1;
    }
    if (const auto quota = cgroup_cpu_quota()) count = std::min(count, *quota);
    return std::max<std::size_t>(count, 1);
}

// ---- Workers ------------------------------------------------------------------

namespace pool_detail {
namespace {

thread_local Worker* this_worker = nullptr;

inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// Short spin first (a stolen half often finishes within microseconds), then
// give the core away.
constexpr unsigned spin_rounds = 32;
constexpr unsigned rounds_before_sleep = 256;

}  // namespace

Worker* current_worker() noexcept { return this_worker; }

bool Worker::push(Job* job) noexcept {
    if (!deque.push(job)) return false;
    pool->notify_new_work();
    return true;
}

void Worker::wait_until(const std::atomic<bool>& done) noexcept {
    unsigned idle = 0;
    while (!done.load(std::memory_order_acquire)) {
        // Injected jobs are left alone here: taking one would keep this fork
        // waiting for a whole unrelated call.
        if (Job* job = pool->steal_for(*this)) {
            job->run(job);
            idle = 0;
        } else if (++idle < spin_rounds) {
            cpu_relax();
        } else {
            std::this_thread::yield();
        }
    }
}

}  // namespace pool_detail

using pool_detail::Job;
using pool_detail::Worker;

Pool::Pool(std::size_t workers)
    : worker_count_(std::max<std::size_t>(workers, 1)),
      workers_(std::make_unique<Worker[]>(worker_count_)) {
    for (std::size_t i = 0; i < worker_count_; ++i) {
        workers_[i].pool = this;
        workers_[i].index = i;
        workers_[i].random = 0x9e3779b97f4a7c15ULL * (i + 1);
    }
}

Pool& Pool::create(std::size_t workers) {
    // Deliberately never freed: detached workers use it until the process
    // ends, including those already started when a later start fails.
    Pool* pool = new Pool(workers);
    pool->start_threads();
    return *pool;
}

void Pool::start_threads() {
    pthread_attr_t attributes;
    int result = pthread_attr_init(&attributes);
    if (result == 0) result = pthread_attr_setstacksize(&attributes, 2 * 1024 * 1024);
    if (result == 0) result = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    for (std::size_t i = 0; result == 0 && i < worker_count_; ++i) {
        pthread_t thread;
        result = pthread_create(&thread, &attributes, &Pool::thread_main, &workers_[i]);
    }
    pthread_attr_destroy(&attributes);
    if (result != 0) {
        panic("The global thread pool has not been initialized.",
              std::string(std::strerror(result)) + " (os error " + std::to_string(result) + ")");
    }
}

void* Pool::thread_main(void* worker) noexcept {
    auto& self = *static_cast<Worker*>(worker);
    self.pool->run_worker(self);
    return nullptr;
}

void Pool::inject(Job* job) {
    std::lock_guard<std::mutex> lock(mutex_);
    injected_.push_back(job);
    injected_count_.fetch_add(1, std::memory_order_relaxed);
    work_epoch_.fetch_add(1, std::memory_order_seq_cst);
    wake_.notify_one();
}

// Pairs with the check in run_worker: a worker about to sleep first counts
// itself in sleepers_, then rereads work_epoch_ (both sequentially
// consistent). Either it sees this push's epoch and searches again, or this
// load sees it as a sleeper and the notify, taken under the mutex it holds
// until it waits, reaches it.
void Pool::notify_new_work() noexcept {
    work_epoch_.fetch_add(1, std::memory_order_seq_cst);
    if (sleepers_.load(std::memory_order_seq_cst) > 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        wake_.notify_one();
    }
}

Job* Pool::take_injected() noexcept {
    if (injected_count_.load(std::memory_order_relaxed) == 0) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    if (injected_.empty()) return nullptr;
    Job* job = injected_.front();
    injected_.pop_front();
    injected_count_.fetch_sub(1, std::memory_order_relaxed);
    return job;
}

Job* Pool::steal_for(Worker& thief) noexcept {
    if (worker_count_ == 1) return nullptr;
    // xorshift: a different first victim each time spreads the thieves.
    thief.random ^= thief.random << 13;
    thief.random ^= thief.random >> 7;
    thief.random ^= thief.random << 17;
    const std::size_t start = static_cast<std::size_t>(thief.random % worker_count_);
    for (std::size_t k = 0; k < worker_count_; ++k) {
        Worker& victim = workers_[(start + k) % worker_count_];
        if (&victim == &thief || victim.deque.looks_empty()) continue;
        if (Job* job = victim.deque.steal()) return job;
    }
    return nullptr;
}

void Pool::run_worker(Worker& self) noexcept {
    pool_detail::this_worker = &self;
    unsigned idle = 0;
    for (;;) {
        const std::uint64_t epoch = work_epoch_.load(std::memory_order_seq_cst);
        Job* job = self.deque.pop();
        if (job == nullptr) job = steal_for(self);
        if (job == nullptr) job = take_injected();
        if (job != nullptr) {
            job->run(job);
            idle = 0;
            continue;
        }
        if (++idle < pool_detail::spin_rounds) {
            pool_detail::cpu_relax();
            continue;
        }
        if (idle < pool_detail::rounds_before_sleep) {
            std::this_thread::yield();
            continue;
        }
        std::unique_lock<std::mutex> lock(mutex_);
        sleepers_.fetch_add(1, std::memory_order_seq_cst);
        if (work_epoch_.load(std::memory_order_seq_cst) == epoch && injected_.empty()) {
            wake_.wait(lock);
        }
        sleepers_.fetch_sub(1, std::memory_order_seq_cst);
        idle = 0;
    }
}

// ---- The process-wide pool ------------------------------------------------------

namespace {

std::atomic<Pool*> global_instance{nullptr};

// A child made by fork() has none of the parent's workers: were it to hand
// work to the inherited pool, it would wait for ever. It starts a pool of its
// own on first use instead; the inherited one is left untouched.
void forget_pool_in_child() noexcept { global_instance.store(nullptr, std::memory_order_relaxed); }

}  // namespace

Pool& global_pool() {
    static std::mutex creating;
    if (Pool* pool = global_instance.load(std::memory_order_acquire)) return *pool;
    std::lock_guard<std::mutex> lock(creating);
    Pool* pool = global_instance.load(std::memory_order_relaxed);
    if (pool == nullptr) {
        static const bool fork_handler_registered =
            pthread_atfork(nullptr, nullptr, forget_pool_in_child) == 0;
        (void)fork_handler_registered;
        // A failed creation is not remembered: the next use tries again.
        pool = &Pool::create(decide_worker_count(
            [](const char* name) { return std::getenv(name); }, available_processors));
        global_instance.store(pool, std::memory_order_release);
    }
    return *pool;
}

Pool& current_pool() {
    if (Worker* self = pool_detail::current_worker()) return *self->pool;
    return global_pool();
}

std::size_t pool_worker_count() { return current_pool().worker_count(); }

}  // namespace quorix

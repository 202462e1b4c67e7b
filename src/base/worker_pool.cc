#include "base/worker_pool.h"

#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <cstdlib>
#include <cstring>

#include "base/check.h"

namespace pvdb::base {

struct WorkerPool::Job {
  Call call;
  const void* context;
  std::size_t end;
  std::size_t grain;
  std::atomic<std::size_t> next;
};

WorkerPool::WorkerPool(std::size_t size) : owner_(::getpid()) {
  PVDB_CHECK(size >= 1);
  threads_.reserve(size - 1);
  for (std::size_t i = 1; i < size; ++i) threads_.emplace_back([this] { work_loop(); });
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

WorkerPool& WorkerPool::global() {
  // A fork copies the pool but none of its threads, and its locks in whatever state the
  // parent's threads held them: the child never touches that copy, which is left to
  // leak, and makes a fresh pool instead.
  static std::atomic<WorkerPool*> current{nullptr};
  const pid_t self = ::getpid();
  WorkerPool* pool = current.load(std::memory_order_acquire);
  if (pool != nullptr && pool->owner_ == self) return *pool;
  auto* fresh = new WorkerPool(pool_size(std::getenv("RAYON_NUM_THREADS"),
                                         std::getenv("RAYON_RS_NUM_CPUS"), available_cpus()));
  if (current.compare_exchange_strong(pool, fresh, std::memory_order_acq_rel)) return *fresh;
  // Another thread of this process made one first.
  delete fresh;
  return *pool;
}

void WorkerPool::work_on(Job& job) {
  for (;;) {
    const std::size_t first = job.next.fetch_add(job.grain, std::memory_order_relaxed);
    if (first >= job.end) return;
    const std::size_t last = first + job.grain < job.end ? first + job.grain : job.end;
    for (std::size_t i = first; i < last; ++i) job.call(job.context, i);
  }
}

void WorkerPool::run(std::size_t begin, std::size_t end, std::size_t grain, Call call,
                     const void* context) {
  if (begin >= end) return;
  Job job{call, context, end, grain == 0 ? 1 : grain, {begin}};
  if (threads_.empty()) {
    work_on(job);
    return;
  }
  std::lock_guard<std::mutex> serial(run_mutex_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    job_ = &job;
    finished_ = 0;
    ++generation_;
  }
  wake_.notify_all();
  work_on(job);
  // Every thread must be done with the job, not merely out of indices, before
  // the job on this stack frame goes away.
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [&] { return finished_ == threads_.size(); });
  job_ = nullptr;
}

void WorkerPool::work_loop() {
  std::uint64_t seen = 0;
  for (;;) {
    Job* job = nullptr;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [&] { return stop_ || generation_ != seen; });
      if (stop_) return;
      seen = generation_;
      job = job_;
    }
    work_on(*job);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++finished_;
    }
    done_.notify_one();
  }
}

std::optional<std::size_t> parse_thread_count(const char* text) {
  if (text == nullptr) return std::nullopt;
  const char* first = text;
  const char* last = text + std::strlen(text);
  if (first != last && *first == '+') ++first;
  if (first == last || *first < '0' || *first > '9') return std::nullopt;
  std::size_t value = 0;
  const auto [end, error] = std::from_chars(first, last, value);
  if (error != std::errc() || end != last) return std::nullopt;
  return value;
}

std::size_t pool_size(const char* num_threads, const char* rs_num_cpus, std::size_t cpus) {
  if (const auto count = parse_thread_count(num_threads)) return *count > 0 ? *count : cpus;
  if (const auto count = parse_thread_count(rs_num_cpus); count && *count > 0) return *count;
  return cpus;
}

std::size_t available_cpus() {
#if defined(__linux__) && !defined(PVDB_POSIX_FALLBACKS)
  // The processors this process may run on, which a container or taskset narrows.
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<std::size_t>(count);
  }
#endif
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<std::size_t>(online) : 1;
}

}  // namespace pvdb::base

#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace pvdb::base {

// A fixed set of threads that runs one parallel loop at a time. A pool of size n
// has n - 1 threads of its own and the calling thread works as the n-th, so a pool
// of size 1 runs everything on the caller. parallel_for returns only when every
// index is done: a barrier. Calls from several threads are served one at a time.
class WorkerPool {
 public:
  explicit WorkerPool(std::size_t size);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // The process-wide pool, created on first use and sized from the environment (see
  // pool_size); it lives until the process ends. A child forked after that gets a pool
  // of its own, sized again, on its first use: the parent's threads do not exist there.
  static WorkerPool& global();

  std::size_t size() const { return threads_.size() + 1; }

  // Calls body(i) once for every i in [begin, end), in no defined order, handing
  // out grain indices at a time.
  template <class Body>
  void parallel_for(std::size_t begin, std::size_t end, std::size_t grain, const Body& body) {
    run(
        begin, end, grain,
        [](const void* context, std::size_t i) { (*static_cast<const Body*>(context))(i); }, &body);
  }

 private:
  using Call = void (*)(const void*, std::size_t);
  struct Job;

  void run(std::size_t begin, std::size_t end, std::size_t grain, Call call, const void* context);
  void work_loop();
  static void work_on(Job& job);

  std::mutex run_mutex_;  // one parallel loop at a time
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  Job* job_ = nullptr;
  std::uint64_t generation_ = 0;
  std::size_t finished_ = 0;
  bool stop_ = false;
  std::vector<std::thread> threads_;
  pid_t owner_;  // the process whose threads these are
};

// A thread count as written in the environment: decimal digits with an optional
// leading '+'. Anything else, overflow included, gives nothing.
std::optional<std::size_t> parse_thread_count(const char* text);

// The pool size from the two variables' values (null when unset) and the number
// of CPUs: a positive first value wins; a first value of 0 means the default;
// otherwise a positive second value wins; otherwise the default.
std::size_t pool_size(const char* num_threads, const char* rs_num_cpus, std::size_t cpus);

// Logical CPUs this process may run on, or 1 when that cannot be found out.
std::size_t available_cpus();

}  // namespace pvdb::base

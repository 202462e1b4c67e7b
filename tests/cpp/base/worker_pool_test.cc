#include "base/worker_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

namespace pvdb::base {
namespace {

// A count is an optional plus and decimal digits, nothing else. The first variable wins
// when it reads, 0 meaning every CPU; the second counts only when above 0.
TEST(WorkerPool, SizeFromEnvironment) {
  struct Case {
    const char* num_threads;
    const char* rs_num_cpus;
    std::size_t size;
  };
  const std::vector<Case> cases = {
      {nullptr, nullptr, 6}, {"3", "5", 3},    {"+3", nullptr, 3},
      {"007", "5", 7},       {"0", "5", 6},    {"x", "5", 5},
      {nullptr, "5", 5},     {"", "+5", 5},    {nullptr, "0", 6},
      {"-2", "junk", 6},     {"-1", "5", 5},   {"+", "5", 5},
      {"++4", "5", 5},       {" 4", "5", 5},   {"4 ", "5", 5},
      {"4x", "5", 5},        {"0x10", "5", 5}, {"99999999999999999999999", "5", 5},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(pool_size(c.num_threads, c.rs_num_cpus, 6), c.size)
        << (c.num_threads ? c.num_threads : "(unset)") << " / "
        << (c.rs_num_cpus ? c.rs_num_cpus : "(unset)");
  }
  EXPECT_GE(available_cpus(), 1u);
}

TEST(WorkerPool, EveryIndexRunsOnceAtEverySize) {
  for (const std::size_t size : {1u, 2u, 4u, 8u}) {
    WorkerPool pool(size);
    EXPECT_EQ(pool.size(), size);
    for (const std::size_t grain : {1u, 7u, 1000u}) {
      std::vector<std::atomic<int>> hits(1013);
      pool.parallel_for(5, hits.size(), grain, [&](std::size_t i) { hits[i].fetch_add(1); });
      for (std::size_t i = 0; i < hits.size(); ++i) {
        ASSERT_EQ(hits[i].load(), i < 5 ? 0 : 1) << size << " " << grain << " " << i;
      }
    }
    pool.parallel_for(3, 3, 1, [](std::size_t) { FAIL(); });
  }
}

}  // namespace
}  // namespace pvdb::base

#include "core/row_pool.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdint>
#include <thread>
#include <vector>

namespace pvdb::core {
namespace {

// A value that tells apart every element of every row.
float mark(std::size_t row, std::size_t i) { return static_cast<float>(row * 4096 + i); }

Embedding filled(std::size_t row, std::size_t len) {
  Embedding e(len);
  for (std::size_t i = 0; i < len; ++i) e[i] = mark(row, i);
  return e;
}

bool holds(const Embedding& e, std::size_t row) {
  for (std::size_t i = 0; i < e.size(); ++i) {
    if (e[i] != mark(row, i)) return false;
  }
  return true;
}

// Lengths below, at and above the pooled range, and lengths off the cache lines.
TEST(RowPool, RowsAreDistinctAlignedAndKeepTheirValues) {
  for (std::size_t len : {3u, 31u, 32u, 97u, 128u, 384u, 1537u, 16384u, 16385u}) {
    std::vector<Embedding> rows;
    for (std::size_t r = 0; r < 1000; ++r) rows.push_back(filled(r, len));
    // Free every other row and fill the gaps again, so that freed slots are reused.
    for (std::size_t r = 0; r < rows.size(); r += 2) rows[r] = Embedding();
    for (std::size_t r = 0; r < rows.size(); r += 2) rows[r] = filled(r, len);
    for (std::size_t r = 0; r < rows.size(); ++r) {
      ASSERT_TRUE(holds(rows[r], r)) << len << " row " << r;
      if (row_pool::pooled(len * sizeof(float))) {
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(rows[r].data()) % 64, 0u) << len;
      }
    }
  }
  // Growing element by element passes through many sizes, each freed with its own.
  Embedding grown;
  for (std::size_t i = 0; i < 5000; ++i) grown.push_back(mark(7, i));
  const Embedding copy = grown;
  grown.resize(100);
  grown.shrink_to_fit();
  EXPECT_TRUE(holds(grown, 7));
  EXPECT_TRUE(holds(copy, 7));
  EXPECT_EQ(copy.size(), 5000u);
}

TEST(RowPool, EmptiedChunksGoBackToTheSystem) {
  const std::size_t len = 200;  // a size no other test uses
  const std::size_t bytes = len * sizeof(float);
  const std::size_t before = row_pool::chunk_count(bytes);
  std::vector<Embedding> rows;
  for (std::size_t r = 0; r < 30000; ++r) rows.push_back(filled(r, len));
  const std::size_t full = row_pool::chunk_count(bytes);
  EXPECT_GE(full, before + 10);
  rows.clear();
  EXPECT_LE(row_pool::chunk_count(bytes), before + 4);
  // Filling again needs no more chunks than the first time.
  for (std::size_t r = 0; r < 30000; ++r) rows.push_back(filled(r, len));
  EXPECT_EQ(row_pool::chunk_count(bytes), full);
}

TEST(RowPool, ThreadsAllocateAndFreeAtOnce) {
  std::vector<std::thread> threads;
  std::vector<char> ok(4, 0);
  for (std::size_t t = 0; t < ok.size(); ++t) {
    threads.emplace_back([t, &ok] {
      bool good = true;
      std::vector<Embedding> rows;
      for (std::size_t round = 0; round < 20; ++round) {
        for (std::size_t r = 0; r < 500; ++r) rows.push_back(filled(t * 1000 + r, 128 + t));
        for (std::size_t r = 0; r < rows.size(); ++r) good = good && holds(rows[r], t * 1000 + r);
        rows.clear();
      }
      ok[t] = good;
    });
  }
  for (auto& thread : threads) thread.join();
  for (std::size_t t = 0; t < ok.size(); ++t) EXPECT_TRUE(ok[t]) << t;
}

// A child forked while another thread is inside the pool must still get rows.
TEST(RowPool, ForkedChildCanAllocate) {
  std::atomic<bool> stop{false};
  std::thread churn([&stop] {
    while (!stop.load(std::memory_order_relaxed)) Embedding e(300);
  });
  int hung = 0;
  for (int i = 0; i < 50; ++i) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      alarm(10);  // a child stuck on the lock ends by SIGALRM, a slow one does not
      const Embedding e = filled(1, 300);
      _exit(holds(e, 1) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++hung;
  }
  stop = true;
  churn.join();
  EXPECT_EQ(hung, 0);
}

}  // namespace
}  // namespace pvdb::core

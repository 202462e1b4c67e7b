#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "base/utf8.h"
#include "core/snapshot.h"
#include "core/vector_store.h"

namespace pvdb::core {
namespace {

using base::is_valid_utf8;

// A snapshot of over a megabyte, so that it is read and checked in parts, whose
// records hold two- and three-byte characters throughout: wherever a part begins,
// it is next to one.
std::string large_snapshot(std::vector<VectorEntry>& records, int count) {
  records.clear();
  for (int i = 0; i < count; ++i) {
    std::string text;
    for (int k = 0; k <= i % 7; ++k) text += (k % 2 ? "\xC3\xA9" : "\xE2\x82\xAC");
    records.push_back({"id" + std::to_string(i),
                       {0.5f, -1.25f, static_cast<float>(i)},
                       text,
                       text + text + text + text + text + text});
  }
  std::vector<const VectorEntry*> pointers;
  for (const VectorEntry& record : records) pointers.push_back(&record);
  std::string text;
  encode_snapshot(text, 3, pointers, 1);
  return text;
}

class StoreOpen : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/pvdb_store_open_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

  // The records of a store opened on a snapshot of `bytes`, or its error.
  std::string open_with_snapshot(const std::string& bytes) {
    std::ofstream(dir_ + "/store.snap", std::ios::binary) << bytes;
    auto store = VectorStore::open({dir_ + "/store.snap", dir_ + "/store.wal"});
    return store.ok() ? "records " + std::to_string(store.value().len()) : store.error().message();
  }

  std::string dir_;
};

// Sizes a few bytes apart move the part boundaries across whole characters; each
// opens with every record. A bad byte, or a character cut short, anywhere in it, the
// part boundaries included, is the UTF-8 error and never a JSON error.
TEST_F(StoreOpen, BrokenCharacterAnywhereInALargeSnapshotIsAnIoError) {
  std::vector<VectorEntry> records;
  std::string text;
  for (int count = 9000; count < 9012; ++count) {
    text = large_snapshot(records, count);
    ASSERT_GT(text.size(), std::size_t{1} << 20);
    EXPECT_EQ(open_with_snapshot(text), "records " + std::to_string(count));
  }
  auto store = VectorStore::open({dir_ + "/store.snap", dir_ + "/store.wal"});
  ASSERT_TRUE(store.ok());
  for (const VectorEntry& record : records) {
    const VectorEntry* found = store.value().get(record.id);
    ASSERT_NE(found, nullptr) << record.id;
    EXPECT_EQ(*found, record);
  }
  const std::string invalid = "stream did not contain valid UTF-8";
  std::vector<std::size_t> places = {0, 1, text.size() / 3, text.size() - 2, text.size() - 1};
  // Every byte around the middle, where a two-part read splits the text.
  for (std::size_t at = text.size() / 2 - 8; at < text.size() / 2 + 8; ++at) places.push_back(at);
  for (std::size_t at : places) {
    for (const char byte : {'\xFF', '\xC3', '\x80', '\xE2'}) {
      std::string bad = text;
      bad[at] = byte;
      // A lead byte may happen to complete a character; the check in parts must
      // agree with the check of the whole text either way.
      const std::string outcome = open_with_snapshot(bad);
      if (is_valid_utf8(bad)) {
        EXPECT_NE(outcome, invalid) << "byte at " << at;
      } else {
        EXPECT_EQ(outcome, invalid) << "byte at " << at;
      }
    }
  }
  // Cut off inside the last character of a record's text.
  const std::size_t euro = text.rfind("\xE2\x82\xAC");
  EXPECT_EQ(open_with_snapshot(text.substr(0, euro + 2)), invalid);
}

}  // namespace
}  // namespace pvdb::core

#include "core/snapshot.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "base/utf8.h"

namespace pvdb::core {
namespace {

// Records whose texts vary in length, so that cuts land in every part of a record.
std::vector<VectorEntry> sample_entries(int count) {
  std::vector<VectorEntry> entries;
  for (int i = 0; i < count; ++i) {
    VectorEntry entry{"r" + std::to_string(i), {}, std::string(i % 3, 'm'), i % 2 ? "t" : ""};
    for (int k = 0; k <= i % 4; ++k) entry.embedding.push_back(0.25f * k - 0.1f * i);
    entries.push_back(std::move(entry));
  }
  return entries;
}

std::vector<const VectorEntry*> pointers(const std::vector<VectorEntry>& entries) {
  std::vector<const VectorEntry*> out;
  for (const VectorEntry& entry : entries) out.push_back(&entry);
  return out;
}

std::string encode_in(const std::vector<VectorEntry>& entries, std::size_t pieces) {
  std::string text;
  encode_snapshot(text, 7, pointers(entries), pieces);
  return text;
}

struct Streamed {
  std::string text;
  std::size_t calls = 0;
  bool ok = false;
};

// Streams the snapshot of `entries`; `fail_at` names the sink call that fails (from 1).
Streamed write_in(const std::vector<VectorEntry>& entries, std::size_t piece_bytes,
                  std::size_t fail_at) {
  Streamed out;
  const auto sink = [&](std::string_view bytes) -> Result<void> {
    if (++out.calls == fail_at) return VectorDbError::io_errno(ENOSPC);
    out.text.append(bytes);
    return {};
  };
  out.ok = write_snapshot(7, pointers(entries), sink, piece_bytes).ok();
  return out;
}

TEST(SnapshotPieces, EncodedAndStreamedInPartsAreTheSameBytes) {
  for (int count : {0, 1, 2, 5, 31, 200}) {
    const auto entries = sample_entries(count);
    const std::string whole = encode_in(entries, 1);
    for (std::size_t pieces : {2, 3, 7, 40}) {
      EXPECT_EQ(encode_in(entries, pieces), whole) << count << " records in " << pieces;
    }
    for (std::size_t piece_bytes : {1, 150, 1000, 1 << 20}) {
      const Streamed streamed = write_in(entries, piece_bytes, 0);
      EXPECT_EQ(streamed.text, whole) << count << " " << piece_bytes;
      EXPECT_TRUE(streamed.ok);
      if (piece_bytes != 1) continue;
      // One piece per record at the smallest size: many rounds of the pool. A failed
      // write stops the stream there, after the text's beginning.
      EXPECT_EQ(streamed.calls, static_cast<std::size_t>(std::max(count, 1))) << count;
      const std::size_t fail_at = streamed.calls / 2 + 1;
      const Streamed failed = write_in(entries, 1, fail_at);
      EXPECT_FALSE(failed.ok) << count;
      EXPECT_EQ(failed.calls, fail_at) << count;
      EXPECT_EQ(failed.text, whole.substr(0, failed.text.size())) << count;
    }
  }
}

std::string outcome(const Result<Snapshot>& snapshot) {
  if (!snapshot.ok()) return "error: " + snapshot.error().message();
  std::string text = "dim " + std::to_string(snapshot.value().dim) + ":";
  for (const VectorEntry& entry : snapshot.value().entries) {
    text += " " + entry.id + "/" + std::to_string(entry.embedding.size()) + "/" + entry.metadata;
    for (float x : entry.embedding) text += "," + std::to_string(std::bit_cast<std::uint32_t>(x));
  }
  return text;
}

// What opening a store on `text` gives: a UTF-8 check, then one run over it all.
std::string checked(const std::string& text) {
  if (!base::is_valid_utf8(text)) return "error: " + VectorDbError::invalid_utf8().message();
  return outcome(decode_snapshot(text, 1));
}

// `text` decoded as it comes in windows. Bytes not in yet hold the text with other
// digits and released ones zeros, so that a decode reading either goes astray.
std::string windowed(const std::string& text, std::size_t window, std::size_t piece) {
  std::string buffer = text;
  for (char& c : buffer) c = c >= '0' && c <= '8' ? c + 1 : c;
  const auto fill = [&](std::size_t from, std::size_t to) {
    buffer.replace(from, to - from, text, from, to - from);
    return true;
  };
  const auto release = [&](std::size_t from, std::size_t to) {
    std::fill(buffer.begin() + from, buffer.begin() + to, '\0');
  };
  return outcome(*decode_snapshot(buffer, SnapshotWindows{window, piece, fill, release}));
}

// Every cut the finder can choose, and every window boundary, for texts with
// records, nested look-alikes of the record seam, and layouts the writer never makes.
TEST(SnapshotPieces, DecodingInPartsGivesTheSameRecords) {
  std::string records = encode_in(sample_entries(9), 1);
  records.insert(records.find("\"r5\""), "\n");  // so that a line number is at stake too
  const std::string documents[] = {
      records,
      // Seams inside a skipped member of a record, between look-alike records, and
      // one inside a nested array.
      R"({"dim":1,"entries":[{"id":"a","x":[{"b":1},{"id":"c","embedding":[],"metadata":"",)"
      R"("created_at":""},{"id":"d","embedding":[],"metadata":"","created_at":""}],"embedding":)"
      R"([1],"metadata":"","created_at":""},{"id":"b","embedding":[2],"metadata":"","created_at":""}]})",
      R"({"entries":[{"id":"a","embedding":[1],"metadata":"},{\"id\":","created_at":""},)"
      R"({"id":"b","embedding":[],"metadata":"","created_at":""}],"dim":3,"z":[{},{"id":1}]})",
      // Array forms, whitespace between records, and a skipped member after the list.
      R"([2,[{"id":"a","embedding":[1],"metadata":"","created_at":""},{"id":"b","embedding":)"
      R"([2],"metadata":"","created_at":""} , {"id":"c","embedding":[3],"metadata":"",)"
      R"("created_at":""},["d",[4],"",""]]])",
      R"({"dim":0,"skip":[[{"x":0},{"id":0},{"id":1}]],"entries":[]})",
      // A record whose unknown member holds a seam, which its piece reads past.
      std::string(records).insert(records.find("\"r4\"") + 5, R"("x":[{"y":0},{"id":1}],)"),
      // Characters split by windows; bad ones after a decode error, and at the end.
      std::string(records).insert(records.find("\"r7\""), "\xC3\xA9\xE2\x82\xAC"),
      std::string(records).replace(40, 1, "x").insert(records.find("\"r7\""), "\xC3("),
      records + "\xE2\x82",
  };
  for (const std::string& text : documents) {
    const std::string whole = checked(text);
    for (std::size_t pieces = 2; pieces <= 9 && base::is_valid_utf8(text); ++pieces) {
      EXPECT_EQ(outcome(decode_snapshot(text, pieces)), whole) << text << " in " << pieces;
    }
    for (std::size_t window : {1, 5, 40, 1000}) {
      for (std::size_t piece : {1, 7, 50}) {
        EXPECT_EQ(windowed(text, window, piece), whole) << text << " " << window << " " << piece;
      }
    }
  }
  EXPECT_FALSE(
      decode_snapshot(records, SnapshotWindows{9, 9, [](auto, auto) { return false; }, {}}));
  // A fault in any byte, and a cut-off end, fail in parts exactly as in one piece:
  // same message, same line and column, whichever part meets the fault.
  const std::string& text = records;
  int failures = 0;
  for (std::size_t at = 0; at < text.size(); ++at) {
    for (const char byte : {'x', ',', ']', '}', '"', '-', '9', '\x01'}) {
      std::string bad = text;
      bad[at] = byte;
      const std::string whole = outcome(decode_snapshot(bad, 1));
      failures += whole.rfind("error", 0) == 0;
      for (std::size_t pieces : {2, 3, 5}) {
        ASSERT_EQ(outcome(decode_snapshot(bad, pieces)), whole) << bad << " in " << pieces;
      }
      ASSERT_EQ(windowed(bad, 16, 8), whole) << bad;
    }
    const std::string cut = text.substr(0, at);
    ASSERT_EQ(outcome(decode_snapshot(cut, 4)), outcome(decode_snapshot(cut, 1))) << cut;
  }
  EXPECT_GT(failures, 1000);
}

}  // namespace
}  // namespace pvdb::core

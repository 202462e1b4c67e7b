// Arbitrary bytes as one trimmed log line: decoding with or without the dimension as
// a capacity hint gives the same result, what decodes survives a write and a read,
// and every proper prefix of a record reads as a line cut off early.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/wal.h"
#include "fuzz_checks.h"

namespace {

using pvdb::fuzz::check;

// A prefix that ends inside the record must fail as ended early. Short records are cut
// everywhere; long ones at up to 256 places spread over their length, fewer for huge
// ones so that one input stays well under the time limit.
void check_prefixes(std::string_view record, std::string_view context) {
  constexpr std::size_t kBudget = std::size_t{1} << 24;  // bytes decoded in all
  const std::size_t cuts = std::clamp<std::size_t>(kBudget / (record.size() + 1), 4, 256);
  const std::size_t step = std::max<std::size_t>(1, record.size() / cuts);
  for (std::size_t cut = 0; cut < record.size(); cut += step) {
    bool ended_early = false;
    auto prefix = pvdb::core::decode_wal_line(record.substr(0, cut), &ended_early);
    if (prefix.ok() || !ended_early) {
      pvdb::fuzz::fail("a proper prefix is not ended early",
                       std::string(context) + "\ncut at " + std::to_string(cut));
    }
  }
}

std::string_view trim_json_space(std::string_view text) {
  const std::size_t end = text.find_last_not_of(" \t\r\n");
  return end == std::string_view::npos ? std::string_view() : text.substr(0, end + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  bool ended_early = false;
  auto record = pvdb::core::decode_wal_line(text, &ended_early);
  // The hint only sizes the embedding: it must never change the outcome.
  const std::size_t capacity = size == 0 ? 1 : 1 + data[0] % 64;
  bool hinted_ended_early = false;
  auto hinted = pvdb::core::decode_wal_line(text, &hinted_ended_early, capacity);
  check(record.ok() == hinted.ok(), "capacity hint changed the outcome", text);
  if (!record.ok()) {
    check(hinted.error().message() == record.error().message() && hinted_ended_early == ended_early,
          "capacity hint changed the error", text);
    if (record.error().kind() != pvdb::core::ErrorKind::Json) {
      pvdb::fuzz::fail("decode error is not Json", record.error().message());
    }
    return 0;
  }
  check(!ended_early, "a decoded line reports ended early", text);
  check(hinted.value().op == record.value().op &&
            pvdb::fuzz::same_entry(hinted.value().entry, record.value().entry),
        "capacity hint changed the record", text);
  pvdb::fuzz::check_record_round_trip(record.value());
  // Prefixes of the input itself (less its trailing whitespace), and of its encoding.
  check_prefixes(trim_json_space(text), text);
  if (pvdb::fuzz::all_finite(record.value().entry)) {
    const std::string line = pvdb::fuzz::encode_record(record.value());
    check_prefixes(std::string_view(line).substr(0, line.size() - 1), line);
  }
  return 0;
}

#include "core/snapshot.h"

#include <algorithm>
#include <iterator>
#include <optional>

#include "core/json_entry.h"
#include "core/json_reader.h"
#include "core/json_writer.h"
#include "core/parts.h"

namespace pvdb::core {

namespace {

std::size_t encoded_size_estimate(std::span<const VectorEntry* const> entries) {
  std::size_t estimate = 0;
  for (const VectorEntry* entry : entries) {
    estimate += 64 + entry->id.size() + entry->metadata.size() + entry->created_at.size() +
                entry->embedding.size() * 12;
  }
  return estimate;
}

// The entries joined by commas, with a leading comma when `continues` is set.
void encode_entries(std::string& out, std::span<const VectorEntry* const> entries, bool continues) {
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (i != 0 || continues) out.push_back(',');
    write_entry(out, *entries[i]);
  }
}

// What comes before the first record and after the last one.
void encode_head(std::string& out, std::uint64_t dim) {
  out.append("{\"dim\":");
  write_json_u64(out, dim);
  out.append(",\"entries\":[");
}
constexpr std::string_view kTail = "]}";

}  // namespace

void encode_snapshot(std::string& out, std::uint64_t dim,
                     std::span<const VectorEntry* const> entries) {
  encode_snapshot(out, dim, entries, part_count(encoded_size_estimate(entries)));
}

void encode_snapshot(std::string& out, std::uint64_t dim,
                     std::span<const VectorEntry* const> entries, std::size_t pieces) {
  pieces = std::clamp<std::size_t>(pieces, 1, std::max<std::size_t>(entries.size(), 1));
  // One allocation up front: growing a buffer of this size by doubling would copy it
  // several times over.
  out.reserve(out.size() + 64 + encoded_size_estimate(entries));
  encode_head(out, dim);
  // The first part goes straight into `out`, the others into buffers of their own
  // that are appended in order afterwards.
  std::vector<std::string> tails(pieces - 1);
  const auto part = [&](std::size_t k) {
    return entries.subspan(entries.size() * k / pieces,
                           entries.size() * (k + 1) / pieces - entries.size() * k / pieces);
  };
  run_parts(pieces, [&](std::size_t k) {
    if (k == 0) return encode_entries(out, part(0), false);
    tails[k - 1].reserve(encoded_size_estimate(part(k)));
    encode_entries(tails[k - 1], part(k), true);
  });
  for (const std::string& tail : tails) out.append(tail);
  out.append(kTail);
}

Result<void> write_snapshot(std::uint64_t dim, std::span<const VectorEntry* const> entries,
                            const SnapshotSink& sink, std::size_t piece_bytes) {
  // Piece k holds the entries from starts[k] to starts[k + 1].
  std::vector<std::size_t> starts{0};
  std::size_t bytes = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    bytes += encoded_size_estimate(entries.subspan(i, 1));
    if (bytes >= piece_bytes && i + 1 < entries.size()) {
      starts.push_back(i + 1);
      bytes = 0;
    }
  }
  starts.push_back(entries.size());
  const std::size_t count = starts.size() - 1;
  const auto encode = [&](std::size_t k, std::string& out) {
    out.clear();
    if (k == 0) encode_head(out, dim);
    encode_entries(out, entries.subspan(starts[k], starts[k + 1] - starts[k]), k != 0);
    if (k + 1 == count) out.append(kTail);
  };
  if (count == 1) {
    std::string text;
    encode(0, text);
    return sink(text);
  }
  // Two pieces per worker a round keep the threads busy past the slower ones; the
  // buffers of two rounds are reused throughout.
  const std::size_t per_round = 2 * std::min<std::size_t>(8, worker_count());
  std::vector<std::string> buffers(2 * per_round);
  Result<void> sunk;
  const auto drain = [&](std::size_t round) {
    for (std::size_t j = 0; j < per_round && sunk.ok(); ++j) {
      if (round * per_round + j >= count) break;
      sunk = sink(buffers[round % 2 * per_round + j]);
    }
  };
  const std::size_t rounds = (count + per_round - 1) / per_round;
  for (std::size_t round = 0; round < rounds && sunk.ok(); ++round) {
    const std::size_t first = round * per_round;
    const std::size_t pieces = std::min(per_round, count - first);
    // Task 0 hands the previous round to the sink; the others encode this round.
    run_parts(pieces + 1, [&](std::size_t task) {
      if (task == 0) {
        if (round > 0) drain(round - 1);
        return;
      }
      encode(first + task - 1, buffers[round % 2 * per_round + task - 1]);
    });
  }
  if (sunk.ok()) drain(rounds - 1);
  return sunk;
}

namespace {

// Where a record list may be cut: the comma between two records as the writer
// lays them out. A raw quote never stands inside a string, so in a valid text the
// comma here always separates two objects; whether they are records of the list
// itself, rather than objects nested deeper, is settled while decoding.
constexpr std::string_view kRecordSeam = "},{\"id\":";

// The records from one cut onwards, decoded ahead of the reader that reaches it.
struct Piece {
  std::vector<VectorEntry> entries;
  std::size_t end = 0;       // the next cut, or the list's closing bracket
  bool ok = false;           // decoded without failure up to `end`
  bool reached_cut = false;  // `end` is the next cut
};

// How the decoder of the whole text works with the pieces. First it runs while
// the pieces are decoded and pauses at the first cut, keeping the records before
// it; then it runs again, takes those records and each piece's records in turn,
// and reads on by itself from the cut where a piece failed.
struct CutPlan {
  std::vector<std::size_t> cuts;  // offsets of seam commas, increasing
  std::vector<Piece> pieces;      // pieces[k] starts at cuts[k]
  bool splice = false;            // false: pause at cuts[0]; true: use the pieces
  bool paused = false;
  std::size_t list_start = 0;  // where the record list's first element was sought
  std::vector<VectorEntry> head;
};

// Nesting open around a record of the list: the document and the list.
constexpr int kListDepth = 2;

std::vector<std::size_t> find_cuts(std::string_view text, std::size_t pieces) {
  std::vector<std::size_t> cuts;
  for (std::size_t k = 1; k < pieces; ++k) {
    std::size_t from = text.size() / pieces * k;
    if (!cuts.empty()) from = std::max(from, cuts.back() + 1);
    const std::size_t seam = text.find(kRecordSeam, from);
    if (seam == std::string_view::npos) break;
    cuts.push_back(seam + 1);
  }
  return cuts;
}

// Decodes records from the comma at `start` as the list loop below would, up to the
// cut `stop` or the end of the list.
void decode_piece(std::string_view text, std::size_t start, std::size_t stop, Piece& piece) {
  JsonReader reader(text);
  for (int level = 0; level < kListDepth; ++level) (void)reader.enter();
  reader.seek(start);
  bool first = false;
  std::size_t capacity = 0;
  for (;;) {
    reader.peek_token();
    if (reader.pos() == stop) {
      piece.reached_cut = true;
      break;
    }
    const int next = reader.next_element(first);
    if (next < 0) return;
    if (next == 0) break;
    VectorEntry& entry = piece.entries.emplace_back();
    if (!read_entry(reader, entry, capacity)) return;
    capacity = entry.embedding.size();
  }
  piece.end = reader.pos();
  piece.ok = true;
}

// At the start of the list, in the second run: takes the records decoded ahead and
// moves the cursor past them, up to the first piece that failed.
void splice_pieces(JsonReader& reader, std::vector<VectorEntry>& out, bool& first, CutPlan& plan) {
  if (reader.pos() != plan.list_start) return;
  std::size_t total = plan.head.size();
  for (const Piece& piece : plan.pieces) total += piece.entries.size();
  out = std::move(plan.head);
  out.reserve(total);
  reader.seek(plan.cuts[0]);
  first = false;
  for (Piece& piece : plan.pieces) {
    if (!piece.ok) return;
    std::move(piece.entries.begin(), piece.entries.end(), std::back_inserter(out));
    reader.seek(piece.end);
    if (!piece.reached_cut) return;
  }
}

// In the first run: whether the loop stands at the first cut, between two records
// of the list, which makes the cut a true one.
bool pause_at_cut(JsonReader& reader, std::vector<VectorEntry>& out, bool first, CutPlan& plan) {
  if (first) return false;
  reader.peek_token();
  if (reader.pos() != plan.cuts[0]) return false;
  plan.paused = true;
  plan.head = std::move(out);
  return true;
}

bool read_entries(JsonReader& reader, std::vector<VectorEntry>& out, std::uint64_t dim,
                  CutPlan* plan) {
  const int c = reader.peek_token();
  if (c < 0) return reader.fail_peek(JsonSyntax::EofWhileParsingValue, true);
  if (c != '[') return reader.fail_invalid_type(JsonExpected::Sequence);
  if (!reader.enter()) return false;
  reader.bump();
  out.clear();
  bool ok = true;
  bool first = true;
  // The dimension, when read already, sizes every embedding up front.
  std::size_t capacity = dim <= (1u << 16) ? static_cast<std::size_t>(dim) : 0;
  if (plan != nullptr) {
    reader.peek_token();
    if (plan->splice) {
      splice_pieces(reader, out, first, *plan);
      plan = nullptr;
    } else {
      plan->list_start = reader.pos();
    }
  }
  for (;;) {
    if (plan != nullptr && pause_at_cut(reader, out, first, *plan)) return false;
    const int next = reader.next_element(first);
    if (next <= 0) {
      ok = next == 0;
      break;
    }
    VectorEntry& entry = out.emplace_back();
    if (!read_entry(reader, entry, capacity)) {
      ok = false;
      break;
    }
    capacity = entry.embedding.size();
  }
  reader.leave();
  return reader.end_array(ok) || reader.place();
}

bool snapshot_members(JsonReader& reader, Snapshot& out, CutPlan* plan) {
  bool seen_dim = false;
  bool seen_entries = false;
  bool first = true;
  std::string key;
  for (;;) {
    const int next = reader.next_member(first);
    if (next < 0) return false;
    if (next == 0) break;
    if (!reader.parse_string(key)) return false;
    const bool is_dim = key == "dim";
    const bool is_entries = key == "entries";
    if ((is_dim && seen_dim) || (is_entries && seen_entries)) {
      return reader.fail_unplaced(VectorDbError::json_duplicate_field(key));
    }
    if (!reader.object_colon()) return false;
    bool ok;
    if (is_dim) {
      ok = reader.read_usize(out.dim);
    } else if (is_entries) {
      ok = read_entries(reader, out.entries, out.dim, plan);
    } else {
      ok = reader.skip_value();
    }
    if (!ok) return false;
    seen_dim |= is_dim;
    seen_entries |= is_entries;
  }
  if (!seen_dim) return reader.fail_unplaced(VectorDbError::json_missing_field("dim"));
  if (!seen_entries) return reader.fail_unplaced(VectorDbError::json_missing_field("entries"));
  return true;
}

bool snapshot_elements(JsonReader& reader, Snapshot& out, CutPlan* plan) {
  bool first = true;
  for (int field = 0; field < 2; ++field) {
    const int next = reader.next_element(first);
    if (next < 0) return false;
    if (next == 0) {
      return reader.fail_unplaced(
          VectorDbError::json_invalid_length(field, JsonExpected::SnapshotElements));
    }
    if (!(field == 0 ? reader.read_usize(out.dim)
                     : read_entries(reader, out.entries, out.dim, plan))) {
      return false;
    }
  }
  return true;
}

bool read_snapshot(JsonReader& reader, Snapshot& out, CutPlan* plan) {
  const int c = reader.peek_token();
  if (c < 0) return reader.fail_peek(JsonSyntax::EofWhileParsingValue, true);
  if (c != '{' && c != '[') return reader.fail_invalid_type(JsonExpected::Snapshot);
  if (!reader.enter()) return false;
  reader.bump();
  const bool ok =
      c == '{' ? snapshot_members(reader, out, plan) : snapshot_elements(reader, out, plan);
  reader.leave();
  return (c == '{' ? reader.end_object(ok) : reader.end_array(ok)) || reader.place();
}

// One run of the whole-text decoder; with a plan it pauses or splices as the plan says.
Result<Snapshot> decode_run(std::string_view text, CutPlan* plan) {
  JsonReader reader(text);
  Snapshot snapshot;
  if (!read_snapshot(reader, snapshot, plan) || !reader.finish()) {
    if (plan != nullptr && plan->paused && !plan->splice) return Snapshot{};
    return reader.take_error();
  }
  return snapshot;
}

}  // namespace

Result<Snapshot> decode_snapshot(std::string_view text) {
  return decode_snapshot(text, part_count(text.size()));
}

Result<Snapshot> decode_snapshot(std::string_view text, std::size_t pieces) {
  CutPlan plan;
  plan.cuts = find_cuts(text, std::max<std::size_t>(pieces, 1));
  if (plan.cuts.empty()) return decode_run(text, nullptr);
  plan.pieces.resize(plan.cuts.size());
  std::optional<Result<Snapshot>> first_run;
  run_parts(plan.cuts.size() + 1, [&](std::size_t k) {
    if (k == 0) {
      first_run.emplace(decode_run(text, &plan));
      return;
    }
    const std::size_t stop = k < plan.cuts.size() ? plan.cuts[k] : std::string_view::npos;
    decode_piece(text, plan.cuts[k - 1], stop, plan.pieces[k - 1]);
  });
  // Without a pause the first run never met the first cut as a list comma: it
  // decoded or failed on its own, exactly as a run without pieces.
  if (!plan.paused) return std::move(*first_run);
  plan.splice = true;
  return decode_run(text, &plan);
}

}  // namespace pvdb::core

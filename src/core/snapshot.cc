#include "core/snapshot.h"

#include <algorithm>
#include <iterator>
#include <optional>
#include <type_traits>

#include "base/utf8.h"
#include "core/json_entry.h"
#include "core/json_reader.h"
#include "core/json_shape.h"
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
  write_key(out, kSnapshotShape, 0);
  write_json_u64(out, dim);
  write_key(out, kSnapshotShape, 1);
  out.push_back('[');
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

// Reads the records of a list from the cursor, just after its opening bracket
// (`first`) or after a record, to its closing bracket, which is left unconsumed.
// stop(first) is asked before each element and may end the list early. Returns 1
// when stopped, 0 at the bracket, -1 on failure.
template <class Stop>
int read_records(JsonReader& reader, std::vector<VectorEntry>& out, std::size_t capacity,
                 bool& first, Stop&& stop) {
  for (;;) {
    if (stop(first)) return 1;
    const int next = reader.next_element(first);
    if (next <= 0) return next;
    VectorEntry& entry = out.emplace_back();
    if (!read_entry(reader, entry, capacity)) return -1;
    capacity = entry.embedding.size();
  }
}

// A snapshot's record list. The plan may fill the list's start from records read
// ahead (begin) and stop it between two records (pause); the whole-text plan never
// does either.
template <class Plan>
bool read_entries(JsonReader& reader, std::vector<VectorEntry>& out, std::uint64_t dim,
                  Plan& plan) {
  const int c = reader.peek_token();
  if (c < 0) return reader.fail_peek(JsonSyntax::EofWhileParsingValue, true);
  if (c != '[') return reader.fail_invalid_type(JsonExpected::Sequence);
  if (!reader.enter()) return false;
  reader.bump();
  out.clear();
  bool first = true;
  plan.begin(reader, out, first);
  // The dimension, when read already, sizes every embedding up front.
  const std::size_t capacity = dim <= (1u << 16) ? static_cast<std::size_t>(dim) : 0;
  const int end = read_records(reader, out, capacity, first,
                               [&](bool at_first) { return plan.pause(reader, out, at_first); });
  if (end > 0) return false;
  reader.leave();
  return reader.end_array(end == 0) || reader.place();
}

template <class Plan>
Result<Snapshot> decode_run(std::string_view text, Plan& plan) {
  JsonReader reader(text);
  Snapshot snapshot;
  const bool ok = read_shape(reader, kSnapshotShape, [&](const auto& field) {
    auto& value = snapshot.*field.member;
    if constexpr (std::is_same_v<decltype(value), std::uint64_t&>) {
      return reader.read_usize(value);
    } else {
      return read_entries(reader, value, snapshot.dim, plan);
    }
  });
  if (!ok || !reader.finish()) {
    if (plan.paused()) return Snapshot{};
    return reader.take_error();
  }
  return snapshot;
}

// One run over the whole text, nothing read ahead.
struct WholeText {
  void begin(JsonReader&, std::vector<VectorEntry>&, bool&) {}
  bool pause(JsonReader&, std::vector<VectorEntry>&, bool) { return false; }
  bool paused() const { return false; }
};

// ---- The parallel decode ----
//
// The text is cut at record seams into pieces decoded at once. The decoder of the
// whole text runs first while the pieces are decoded and pauses at the first cut,
// keeping the records before it; then it runs again, takes those records and each
// piece's records in turn, and reads on by itself from the cut where a piece
// failed. So records and errors are exactly those of one whole run. A text that
// comes in window by window has its pieces decoded as their bytes arrive, and the
// text of those the second run steps over goes back to the system.

// Where a record list may be cut: the comma between two records as the writer
// lays them out. A raw quote never stands inside a string, so in a valid text the
// comma here always separates two objects; whether they are records of the list
// itself, rather than objects nested deeper, is settled while decoding.
constexpr std::string_view kRecordSeam = "},{\"id\":";

// Nesting open around a record of the list: the document and the list.
constexpr int kListDepth = 2;

// The records from one cut onwards, decoded ahead of the reader that reaches it.
struct Piece {
  std::vector<VectorEntry> entries;
  std::size_t end = 0;       // the next cut, or the list's closing bracket
  bool ok = false;           // decoded without failure up to `end`
  bool reached_cut = false;  // `end` is the next cut
  bool feeds = false;        // holds a line feed, which error positions count
};

class CutPlan {
 public:
  // Cuts at least `spacing` bytes apart, at most `limit` of them.
  CutPlan(std::size_t spacing, std::size_t limit)
      : spacing_(std::max<std::size_t>(spacing, 1)), limit_(limit) {}

  // Adds the cuts that lie in `seen`, the text's bytes in so far.
  void find_cuts(std::string_view seen) {
    while (cuts_.size() < limit_) {
      const std::size_t from =
          std::max(searched_, cuts_.empty() ? spacing_ : cuts_.back() + spacing_);
      const std::size_t seam = seen.find(kRecordSeam, from);
      if (seam == std::string_view::npos) {
        // A seam may straddle the end of what is in.
        searched_ =
            std::max(from, std::max(seen.size(), kRecordSeam.size()) - kRecordSeam.size() + 1);
        return;
      }
      cuts_.push_back(seam + 1);
      pieces_.emplace_back();
    }
  }

  const std::vector<std::size_t>& cuts() const { return cuts_; }

  // Decodes records from the cut `k` as the list reader would, up to the next cut
  // or the end of the list.
  void decode_piece(std::string_view text, std::size_t k) {
    Piece& piece = pieces_[k];
    const std::size_t stop = k + 1 < cuts_.size() ? cuts_[k + 1] : std::string_view::npos;
    JsonReader reader(text);
    for (int level = 0; level < kListDepth; ++level) (void)reader.enter();
    reader.seek(cuts_[k]);
    bool first = false;
    const int end = read_records(reader, piece.entries, 0, first, [&](bool) {
      reader.peek_token();
      return reader.pos() == stop;
    });
    if (end < 0) return;
    piece.reached_cut = end > 0;
    piece.end = reader.pos();
    piece.ok = true;
    piece.feeds = text.substr(cuts_[k], piece.end - cuts_[k]).find('\n') != std::string_view::npos;
  }

  // Pieces from the first on that decoded without failure up to their cut: the
  // second run steps over their text, which is then given to `release` unless a
  // line feed in it still counts towards an error's line. Only pieces below `sent`,
  // wholly in bytes up to `checked`, are looked at.
  void release_skipped(const std::function<void(std::size_t, std::size_t)>& release,
                       std::size_t sent, std::size_t checked) {
    for (; released_ < sent; ++released_) {
      const Piece& piece = pieces_[released_];
      if (!piece.ok || !piece.reached_cut || piece.end > checked) return;
      if (!piece.feeds && release) release(cuts_[released_], piece.end);
    }
  }

  // Whether one of the first `sent` pieces failed: no piece after it is spliced in.
  bool broken(std::size_t sent) const {
    return std::any_of(pieces_.begin(), pieces_.begin() + static_cast<std::ptrdiff_t>(sent),
                       [](const Piece& piece) { return !piece.ok; });
  }

  // Switches from the first run to the second.
  void start_splice() { splice_ = true; }
  bool paused() const { return paused_ && !splice_; }

  // At the start of the list. In the first run: notes where it is. In the second:
  // takes the records decoded ahead and moves the cursor past them, up to the
  // first piece that failed.
  void begin(JsonReader& reader, std::vector<VectorEntry>& out, bool& first) {
    reader.peek_token();
    if (!splice_) {
      list_start_ = reader.pos();
      return;
    }
    if (reader.pos() != list_start_) return;
    std::size_t total = head_.size();
    for (const Piece& piece : pieces_) total += piece.entries.size();
    out = std::move(head_);
    out.reserve(total);
    reader.seek(cuts_[0]);
    first = false;
    for (Piece& piece : pieces_) {
      if (!piece.ok) return;
      std::move(piece.entries.begin(), piece.entries.end(), std::back_inserter(out));
      reader.seek(piece.end);
      if (!piece.reached_cut) return;
    }
  }

  // In the first run: whether the list stands at the first cut, between two
  // records of the list, which makes the cut a true one.
  bool pause(JsonReader& reader, std::vector<VectorEntry>& out, bool first) {
    if (splice_ || first) return false;
    reader.peek_token();
    if (reader.pos() != cuts_[0]) return false;
    paused_ = true;
    head_ = std::move(out);
    return true;
  }

 private:
  std::size_t spacing_;
  std::size_t limit_;
  std::size_t searched_ = 0;       // where the search for the next seam resumes
  std::size_t released_ = 0;       // pieces looked at by release_skipped
  std::vector<std::size_t> cuts_;  // offsets of seam commas, increasing
  std::vector<Piece> pieces_;      // pieces_[k] starts at cuts_[k]
  bool splice_ = false;
  bool paused_ = false;
  std::size_t list_start_ = 0;  // where the record list's first element was sought
  std::vector<VectorEntry> head_;
};

// The end of the bytes from `from` that can be checked as UTF-8 before more come
// in: the last ASCII byte, which starts a character and ends any before it.
std::size_t utf8_checkable(std::string_view seen, std::size_t from, bool all) {
  if (all) return seen.size();
  std::size_t end = seen.size();
  while (end > from && static_cast<unsigned char>(seen[end - 1]) >= 0x80) --end;
  return end > from ? end - 1 : from;
}

// The checks of the bytes from `from` to `to` in parts that begin at ASCII bytes, so
// that a character is whole within its part exactly when it is whole in the text.
std::vector<std::size_t> utf8_parts(std::string_view text, std::size_t from, std::size_t to) {
  const std::size_t parts = part_count(to - from);
  std::vector<std::size_t> starts{from};
  for (std::size_t k = 1; k < parts; ++k) {
    std::size_t at = std::max(from + (to - from) / parts * k, starts.back());
    while (at < to && static_cast<unsigned char>(text[at]) >= 0x80) ++at;
    starts.push_back(at);
  }
  starts.push_back(to);
  return starts;
}

std::optional<Result<Snapshot>> decode_windows(std::string_view text, const SnapshotWindows& io,
                                               std::size_t max_cuts, bool check_utf8) {
  CutPlan plan(io.piece, max_cuts);
  std::optional<Result<Snapshot>> first_run;
  bool first_saw_all = false;
  bool valid = true;
  std::size_t read = 0, checked = 0, sent = 0;
  do {
    const std::size_t window = std::max<std::size_t>(io.window, 1);
    const std::size_t to = text.size() - read <= window ? text.size() : read + window;
    if (io.fill && !io.fill(read, to)) return std::nullopt;
    read = to;
    if (!valid) continue;  // only the fills still count
    const bool all = read == text.size();
    // Pieces and the first run read no further than the bytes in: one that would
    // go on past them meets the end there and fails, so success never depends on
    // bytes yet to come.
    const std::string_view seen = text.substr(0, read);
    plan.find_cuts(seen);
    const std::size_t until = check_utf8 ? utf8_checkable(seen, checked, all) : checked;
    const std::vector<std::size_t> starts = utf8_parts(seen, checked, until);
    const std::size_t checks = until > checked ? starts.size() - 1 : 0;
    const bool start_first = !first_run && !plan.cuts().empty();
    std::size_t ready = all ? plan.cuts().size() : std::max<std::size_t>(plan.cuts().size(), 1) - 1;
    // Once the first run went past the first cut, or a piece failed, nothing more is
    // spliced in.
    if ((first_run && !plan.paused()) || plan.broken(sent)) ready = sent;
    std::vector<char> good(checks, 1);
    const std::size_t tasks = checks + start_first + (ready - sent);
    if (tasks > 0) {
      run_parts(tasks, [&](std::size_t t) {
        if (t < checks) {
          good[t] = base::is_valid_utf8(seen.substr(starts[t], starts[t + 1] - starts[t]));
        } else if (start_first && t == checks) {
          first_run.emplace(decode_run(seen, plan));
        } else {
          plan.decode_piece(seen, sent + t - checks - start_first);
        }
      });
    }
    first_saw_all = first_saw_all || (start_first && all);
    sent = ready;
    checked = until;
    valid = std::find(good.begin(), good.end(), 0) == good.end();
    if (valid && first_run && plan.paused()) plan.release_skipped(io.release, sent, checked);
  } while (read < text.size());
  if (!valid) return Result<Snapshot>(VectorDbError::invalid_utf8());
  if (first_run && !plan.paused() && first_saw_all) return std::move(*first_run);
  // Without a pause the first run never met the first cut as a list comma: the text
  // decodes or fails as in a run without pieces.
  if (!first_run || !plan.paused()) {
    WholeText whole;
    return decode_run(text, whole);
  }
  plan.start_splice();
  return decode_run(text, plan);
}

}  // namespace

Result<Snapshot> decode_snapshot(std::string_view text) {
  return decode_snapshot(text, part_count(text.size()));
}

Result<Snapshot> decode_snapshot(std::string_view text, std::size_t pieces) {
  pieces = std::max<std::size_t>(pieces, 1);
  const SnapshotWindows whole{text.size(), (text.size() + pieces - 1) / pieces, {}, {}};
  return *decode_windows(text, whole, pieces - 1, false);
}

std::optional<Result<Snapshot>> decode_snapshot(std::string_view text,
                                                const SnapshotWindows& windows) {
  return decode_windows(text, windows, SIZE_MAX, true);
}

}  // namespace pvdb::core

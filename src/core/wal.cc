#include "core/wal.h"

#include <type_traits>

#include "core/json_entry.h"
#include "core/json_reader.h"
#include "core/json_value.h"
#include "core/json_writer.h"

namespace pvdb::core {

void encode_wal_upsert(std::string& out, const VectorEntry& entry) {
  write_key(out, kWalLineShape, 0);
  write_json_string(out, "upsert");
  write_key(out, kWalLineShape, 1);
  write_entry(out, entry);
  out.append("}\n");
}

void encode_wal_delete(std::string& out, std::string_view id) {
  write_key(out, kWalLineShape, 0);
  write_json_string(out, "delete");
  write_key(out, kWalLineShape, 1);
  write_key(out, kDeleteShape, 0);
  write_json_string(out, id);
  out.append("}}\n");
}

namespace {

constexpr unsigned kUpsertBit = 1;
constexpr unsigned kDeleteBit = 2;

// One log line being decoded. Besides the record it tracks what an early end of
// the text could still turn into: which ops a cut-off op name can become, and the
// data held while the op is not known yet.
struct WalDecoder {
  explicit WalDecoder(std::string_view text) : reader(text) {}

  JsonReader reader;
  WalRecord record;
  unsigned ops = kUpsertBit | kDeleteBit;
  bool holding = false;
  std::size_t capacity = 0;  // expected embedding length, 0 when unknown
  JsonValue held;

  bool read_line();
  bool read_op();
  bool read_op_name();
  bool ended_early() const;
};

bool WalDecoder::read_op_name() {
  std::string name;
  if (!reader.parse_string(name)) {
    const auto prefix_of = [&](std::string_view op) { return op.starts_with(name); };
    ops &= (prefix_of("upsert") ? kUpsertBit : 0) | (prefix_of("delete") ? kDeleteBit : 0);
    return false;
  }
  if (name == "upsert") {
    record.op = WalRecord::Op::Upsert;
    ops = kUpsertBit;
  } else if (name == "delete") {
    record.op = WalRecord::Op::Delete;
    ops = kDeleteBit;
  } else {
    reader.fail_unplaced(VectorDbError::json_unknown_variant(name));
    return reader.place();
  }
  return true;
}

// The op is a string, or an object of one member whose value is null.
bool WalDecoder::read_op() {
  int c = reader.peek_token();
  if (c == '"') {
    reader.bump();
    return read_op_name();
  }
  if (c < 0) return reader.fail_peek(JsonSyntax::EofWhileParsingValue, true);
  if (c != '{') return reader.fail_peek(JsonSyntax::ExpectedValue);
  if (!reader.enter()) return false;
  reader.bump();
  c = reader.peek_token();
  if (c < 0) return reader.fail_peek(JsonSyntax::EofWhileParsingValue, true);
  if (c != '"') return reader.fail_invalid_type(JsonExpected::VariantIdentifier);
  reader.bump();
  if (!read_op_name() || !reader.object_colon()) return false;
  c = reader.peek_token();
  if (c < 0) return reader.fail_peek(JsonSyntax::EofWhileParsingValue, true);
  if (c != 'n') return reader.fail_invalid_type(JsonExpected::Unit);
  reader.bump();
  if (!reader.parse_ident("ull")) return false;
  reader.leave();
  c = reader.peek_token();
  if (c == '}') {
    reader.bump();
    return true;
  }
  if (c < 0) return reader.fail_here(JsonSyntax::EofWhileParsingObject, true);
  return reader.fail_here(JsonSyntax::ExpectedValue);
}

// The data is read as its op says; when it comes first, it is held whole until the
// op is known.
bool WalDecoder::read_line() {
  bool op_known = false;
  const auto as_op_says = [&](const auto& read) {
    return record.op == WalRecord::Op::Upsert ? read(kEntryShape) : read(kDeleteShape);
  };
  return read_shape(
             reader, kWalLineShape,
             [&](const auto& field) {
               if constexpr (std::is_same_v<decltype(record.*field.member), WalRecord::Op&>) {
                 if (!read_op()) return false;
                 op_known = true;
                 if (!holding) return true;
                 holding = false;
                 return as_op_says([&](const auto& shape) {
                   return decode_held(&reader, shape, held, &record.entry);
                 });
               } else if (!op_known) {
                 holding = true;
                 return read_value(reader, held);
               }
               return as_op_says([&](const auto& shape) {
                 return read_record(reader, shape, record.entry, capacity);
               });
             }) &&
         reader.finish();
}

bool WalDecoder::ended_early() const {
  if (!reader.ended() || ops == 0) return false;
  if (!holding) return true;
  return ((ops & kUpsertBit) != 0 && decode_held(nullptr, kEntryShape, held, nullptr)) ||
         ((ops & kDeleteBit) != 0 && decode_held(nullptr, kDeleteShape, held, nullptr));
}

}  // namespace

Result<WalRecord> decode_wal_line(std::string_view line, bool* ended_early, std::size_t capacity) {
  WalDecoder decoder(line);
  decoder.capacity = capacity;
  const bool ok = decoder.read_line();
  if (ended_early != nullptr) *ended_early = !ok && decoder.ended_early();
  if (!ok) return decoder.reader.take_error();
  return std::move(decoder.record);
}

}  // namespace pvdb::core

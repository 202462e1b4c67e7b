#include "core/wal.h"

#include "core/json_entry.h"
#include "core/json_reader.h"
#include "core/json_value.h"
#include "core/json_writer.h"

namespace pvdb::core {

void encode_wal_upsert(std::string& out, const VectorEntry& entry) {
  out.append("{\"op\":\"upsert\",\"data\":");
  write_entry(out, entry);
  out.append("}\n");
}

void encode_wal_delete(std::string& out, std::string_view id) {
  out.append("{\"op\":\"delete\",\"data\":{\"id\":");
  write_json_string(out, id);
  out.append("}}\n");
}

namespace {

constexpr unsigned kUpsertBit = 1;
constexpr unsigned kDeleteBit = 2;

enum class RecordKey { Failed, End, Op, Data };

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
  bool first = true;
  std::string key;

  bool read_record();
  bool read_members();
  bool read_elements();
  RecordKey next_key();
  bool read_op();
  bool read_op_name();
  bool read_data();
  bool resolve_held();
  bool ended_early() const;
};

// The next member that is `op` or `data`; others are skipped whole.
RecordKey WalDecoder::next_key() {
  for (;;) {
    const int next = reader.next_member(first);
    if (next < 0) return RecordKey::Failed;
    if (next == 0) return RecordKey::End;
    if (!reader.parse_string(key)) return RecordKey::Failed;
    if (key == "op") return RecordKey::Op;
    if (key == "data") return RecordKey::Data;
    if (!reader.object_colon() || !reader.skip_value()) return RecordKey::Failed;
  }
}

bool WalDecoder::read_op_name() {
  std::string name;
  if (!reader.parse_string(name)) {
    const auto could_become = [&](std::string_view op) { return op.starts_with(name); };
    ops &= (could_become("upsert") ? kUpsertBit : 0) | (could_become("delete") ? kDeleteBit : 0);
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

bool WalDecoder::read_data() {
  if (record.op == WalRecord::Op::Upsert) return read_entry(reader, record.entry, capacity);
  return read_delete_data(reader, record.entry.id);
}

bool WalDecoder::resolve_held() {
  holding = false;
  if (record.op == WalRecord::Op::Upsert) return entry_from_value(reader, held, record.entry);
  return delete_from_value(reader, held, record.entry.id);
}

bool WalDecoder::read_members() {
  RecordKey key_kind = next_key();
  if (key_kind == RecordKey::Failed) return false;
  if (key_kind == RecordKey::End)
    return reader.fail_unplaced(VectorDbError::json_missing_field("op"));
  if (key_kind == RecordKey::Op) {
    if (!reader.object_colon() || !read_op()) return false;
    key_kind = next_key();
    if (key_kind == RecordKey::Failed) return false;
    if (key_kind == RecordKey::Op)
      return reader.fail_unplaced(VectorDbError::json_duplicate_field("op"));
    if (key_kind == RecordKey::End)
      return reader.fail_unplaced(VectorDbError::json_missing_field("data"));
    if (!reader.object_colon() || !read_data()) return false;
  } else {
    // The data comes first: hold it whole until the op is known.
    if (!reader.object_colon()) return false;
    holding = true;
    if (!read_value(reader, held)) return false;
    key_kind = next_key();
    if (key_kind == RecordKey::Failed) return false;
    if (key_kind == RecordKey::Data)
      return reader.fail_unplaced(VectorDbError::json_duplicate_field("data"));
    if (key_kind == RecordKey::End)
      return reader.fail_unplaced(VectorDbError::json_missing_field("op"));
    if (!reader.object_colon() || !read_op() || !resolve_held()) return false;
  }
  key_kind = next_key();
  if (key_kind == RecordKey::Failed) return false;
  if (key_kind == RecordKey::Op)
    return reader.fail_unplaced(VectorDbError::json_duplicate_field("op"));
  if (key_kind == RecordKey::Data)
    return reader.fail_unplaced(VectorDbError::json_duplicate_field("data"));
  return true;
}

bool WalDecoder::read_elements() {
  const int op = reader.next_element(first);
  if (op < 0) return false;
  if (op == 0)
    return reader.fail_unplaced(VectorDbError::json_invalid_length(0, JsonExpected::WalRecord));
  if (!read_op()) return false;
  const int data = reader.next_element(first);
  if (data < 0) return false;
  if (data == 0)
    return reader.fail_unplaced(VectorDbError::json_invalid_length(1, JsonExpected::WalRecord));
  return read_data();
}

bool WalDecoder::read_record() {
  const int c = reader.peek_token();
  if (c < 0) return reader.fail_peek(JsonSyntax::EofWhileParsingValue, true);
  if (c != '{' && c != '[') return reader.fail_invalid_type(JsonExpected::WalRecord);
  if (!reader.enter()) return false;
  reader.bump();
  const bool ok = c == '{' ? read_members() : read_elements();
  reader.leave();
  if (!(c == '{' ? reader.end_object(ok) : reader.end_array(ok))) return reader.place();
  return reader.finish();
}

bool WalDecoder::ended_early() const {
  if (!reader.ended() || ops == 0) return false;
  if (!holding) return true;
  return ((ops & kUpsertBit) != 0 && could_be_entry(held)) ||
         ((ops & kDeleteBit) != 0 && could_be_delete(held));
}

}  // namespace

Result<WalRecord> decode_wal_line(std::string_view line, bool* ended_early, std::size_t capacity) {
  WalDecoder decoder(line);
  decoder.capacity = capacity;
  const bool ok = decoder.read_record();
  if (ended_early != nullptr) *ended_early = !ok && decoder.ended_early();
  if (!ok) return decoder.reader.take_error();
  return std::move(decoder.record);
}

}  // namespace pvdb::core

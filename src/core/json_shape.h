#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "core/json_reader.h"
#include "core/vector_entry.h"

namespace pvdb::core {

// The shapes of the store files, each said once: its fields in the order of the
// array form, and which member of the decoded value each one fills. Every field is
// required. The object form takes the members in any order and skips unknown ones;
// the array form takes the values in field order. The readers and the writer below
// walk these lists at compile time, so the per-field dispatch inlines.

template <class Target, class Value>
struct Field {
  std::string_view name;
  Value Target::*member;
};

template <class Target, class... Values>
struct Shape {
  using Out = Target;
  static constexpr int kCount = sizeof...(Values);

  JsonExpected type;      // what a value of another type was expected to be
  JsonExpected elements;  // what a too short array form was expected to hold
  std::tuple<Field<Target, Values>...> fields;
  std::array<std::string_view, sizeof...(Values)> names;

  // The position of the field called `key`, or -1 for a name the shape does not have.
  int find(std::string_view key) const {
    for (int field = 0; field < kCount; ++field) {
      if (names[field] == key) return field;
    }
    return -1;
  }
  // fn(f) with the descriptor of field `index`; false when fn says so.
  template <class Fn>
  bool visit(int index, Fn&& fn) const {
    return visit_each(index, fn, std::index_sequence_for<Values...>{});
  }

 private:
  template <class Fn, std::size_t... I>
  bool visit_each(int index, Fn& fn, std::index_sequence<I...>) const {
    bool ok = false;
    (void)((index == static_cast<int>(I) && (ok = fn(std::get<I>(fields)), true)) || ...);
    return ok;
  }
};

template <class Target, class... Values>
constexpr Shape<Target, Values...> shape(JsonExpected type, JsonExpected elements,
                                         Field<Target, Values>... fields) {
  return {type, elements, {fields...}, {fields.name...}};
}

inline constexpr auto kEntryShape =
    shape(JsonExpected::VectorEntry, JsonExpected::VectorEntryElements,
          Field<VectorEntry, std::string>{"id", &VectorEntry::id},
          Field<VectorEntry, Embedding>{"embedding", &VectorEntry::embedding},
          Field<VectorEntry, std::string>{"metadata", &VectorEntry::metadata},
          Field<VectorEntry, std::string>{"created_at", &VectorEntry::created_at});
// The data of a delete: {"id":S} or [S].
inline constexpr auto kDeleteShape =
    shape(JsonExpected::DeleteVariant, JsonExpected::DeleteElements,
          Field<VectorEntry, std::string>{"id", &VectorEntry::id});
// A log line; what its data holds depends on its op.
inline constexpr auto kWalLineShape =
    shape(JsonExpected::WalRecord, JsonExpected::WalRecord,
          Field<WalRecord, WalRecord::Op>{"op", &WalRecord::op},
          Field<WalRecord, VectorEntry>{"data", &WalRecord::entry});
inline constexpr auto kSnapshotShape =
    shape(JsonExpected::Snapshot, JsonExpected::SnapshotElements,
          Field<Snapshot, std::uint64_t>{"dim", &Snapshot::dim},
          Field<Snapshot, std::vector<VectorEntry>>{"entries", &Snapshot::entries});

// Reads one value of `shape` at the cursor, object or array form, calling
// read(field) for the value of each field it meets; read leaves any failure on the
// reader. Duplicate, missing and unknown members and short arrays are handled here.
template <class S, class Read>
bool read_shape(JsonReader& reader, const S& shape, Read&& read) {
  const int c = reader.peek_token();
  if (c < 0) return reader.fail_peek(JsonSyntax::EofWhileParsingValue, true);
  if (c != '{' && c != '[') return reader.fail_invalid_type(shape.type);
  if (!reader.enter()) return false;
  reader.bump();
  bool ok = true;
  bool first = true;
  if (c == '[') {
    for (int field = 0; field < S::kCount && ok; ++field) {
      const int next = reader.next_element(first);
      if (next == 0) {
        reader.fail_unplaced(VectorDbError::json_invalid_length(field, shape.elements));
      }
      ok = next > 0 && shape.visit(field, read);
    }
    reader.leave();
    return reader.end_array(ok) || reader.place();
  }
  bool seen[S::kCount] = {};
  std::string key;
  for (;;) {
    const int next = reader.next_member(first);
    if (next <= 0) {
      ok = next == 0;
      break;
    }
    if (!reader.parse_string(key)) {
      ok = false;
      break;
    }
    const int field = shape.find(key);
    if (field >= 0 && seen[field]) {
      ok = reader.fail_unplaced(VectorDbError::json_duplicate_field(key));
      break;
    }
    ok = reader.object_colon() && (field < 0 ? reader.skip_value() : shape.visit(field, read));
    if (!ok) break;
    if (field >= 0) seen[field] = true;
  }
  for (int field = 0; field < S::kCount && ok; ++field) {
    if (!seen[field])
      ok = reader.fail_unplaced(VectorDbError::json_missing_field(shape.names[field]));
  }
  reader.leave();
  return reader.end_object(ok) || reader.place();
}

// Appends `{"name":` for the first field, `,"name":` for the others.
template <class S>
void write_key(std::string& out, const S& shape, int field) {
  out.append(field == 0 ? "{\"" : ",\"");
  out.append(shape.names[field]);
  out.append("\":");
}

// Appends the object form of `shape`, write(field) appending each field's value.
template <class S, class Write>
void write_shape(std::string& out, const S& shape, Write&& write) {
  int index = 0;
  std::apply([&](const auto&... f) { ((write_key(out, shape, index++), write(f)), ...); },
             shape.fields);
  out.push_back('}');
}

}  // namespace pvdb::core

#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/json_reader.h"
#include "core/vector_entry.h"

namespace pvdb::core {

// A JSON value held whole in memory: the data of a log record that stands before
// its op, kept until the op says what it is. A value that the text ended inside
// keeps what was read, so that it can still be asked what it could become.
struct JsonValue {
  enum class Kind : std::uint8_t {
    Missing,  // not started
    Null,
    Bool,
    Number,
    String,
    Array,
    Object,
    PartialNumber,   // a number the text ended inside
    PartialLiteral,  // null, true or false cut short
  };
  Kind kind = Kind::Missing;
  bool complete = true;      // false for a string, array or object the text ended inside
  bool key_complete = true;  // false when the text ended inside the last member name
  bool boolean = false;
  JsonNumber number;
  std::string text;               // a string's value
  std::vector<std::string> keys;  // member names of an object, in order, duplicates kept
  std::vector<JsonValue> items;   // elements of an array, member values of an object

  JsonFound found() const;
};

// Reads any one value; every array and object in it counts one nesting level.
bool read_value(JsonReader& reader, JsonValue& out);

// Walks a held value as `shape`, kEntryShape or kDeleteShape. With a reader,
// decodes a complete value into `out`, leaving a failure for the caller to place.
// With neither, tells whether the value, complete or cut short, is or can still
// become a value of the shape.
template <class S>
bool decode_held(JsonReader* reader, const S& shape, const JsonValue& value, VectorEntry* out);

}  // namespace pvdb::core

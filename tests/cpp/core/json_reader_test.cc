#include "core/json_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "core/json_entry.h"
#include "core/snapshot.h"
#include "core/wal.h"

namespace pvdb::core {
namespace {

std::string repeat(const std::string& piece, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += piece;
  return out;
}

// A copy in a heap block of exactly its size.
std::unique_ptr<char[]> exact_copy(const std::string& text) {
  auto copy = std::make_unique_for_overwrite<char[]>(text.size());
  std::copy(text.begin(), text.end(), copy.get());
  return copy;
}

struct ErrorCase {
  std::string text;
  std::string message;
};

template <class T>
std::string outcome(const Result<T>& result) {
  return result.ok() ? "decoded" : result.error().message();
}

// Positions: a failure seen on a byte only looked at is reported one past it, a
// failure seen on a consumed byte just after it, and a failure of meaning (type,
// missing or duplicate field, length) one past the end of the value or of the
// object holding it; never past the end of the text.
TEST(JsonReader, ErrorsOfTheSnapshot) {
  const std::vector<ErrorCase> cases = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {R"({"dim":)", "EOF while parsing a value at line 1 column 7"},
      {R"({"dim":3,)", "EOF while parsing a value at line 1 column 9"},
      {R"({"dim":3,"entries":[)", "EOF while parsing a list at line 1 column 20"},
      {R"({"dim":3)", "EOF while parsing an object at line 1 column 8"},
      {R"({"dim":3,"entr)", "EOF while parsing a string at line 1 column 14"},
      {"nul", "EOF while parsing a value at line 1 column 3"},
      {R"({"dim" 3,"entries":[]})", "expected `:` at line 1 column 8"},
      {R"({"dim":3 "entries":[]})", "expected `,` or `}` at line 1 column 10"},
      {R"([3 []])", "expected `,` or `]` at line 1 column 4"},
      {R"({"dim":3,"entries":[],"x":tru})", "expected ident at line 1 column 30"},
      {R"({"dim":3,"entries":[],"x":+1})", "expected value at line 1 column 27"},
      {"x", "expected value at line 1 column 1"},
      {R"({"dim":3,"entries":[],"\q":1})", "invalid escape at line 1 column 25"},
      {R"({"dim":3,"entries":[],"\u12":1})", "invalid escape at line 1 column 29"},
      {R"({"dim":01,"entries":[]})", "invalid number at line 1 column 9"},
      {R"({"dim":3,"entries":[],"x":1.})", "invalid number at line 1 column 29"},
      {R"({"dim":3,"entries":[],"x":1ex})", "invalid number at line 1 column 29"},
      {R"({"dim":3,"entries":[],"x":-a})", "invalid number at line 1 column 28"},
      {R"({"dim":1e999,"entries":[]})", "number out of range at line 1 column 12"},
      {R"({"dim":-1e999,"entries":[]})", "number out of range at line 1 column 13"},
      {"{\"\xFF\":1}", "invalid unicode code point at line 1 column 4"},
      {"{\"dim\":3,\"entries\":[],\"a\":\"\x01\"}",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 28"},
      {std::string("{\"a\0\":1}", 8),
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 4"},
      {R"({1:2})", "key must be a string at line 1 column 2"},
      {R"({,"dim":3})", "key must be a string at line 1 column 2"},
      {R"({"\udfff":1})", "lone leading surrogate in hex escape at line 1 column 8"},
      {R"({"\ud800\ud800":1})", "lone leading surrogate in hex escape at line 1 column 14"},
      {R"({"\ud800b":1})", "unexpected end of hex escape at line 1 column 9"},
      {R"({"\ud800\n":1})", "unexpected end of hex escape at line 1 column 10"},
      {R"({"dim":3,"entries":[],})", "trailing comma at line 1 column 23"},
      {R"([3,[],])", "trailing comma at line 1 column 7"},
      {R"({"dim":3,"entries":[]} x)", "trailing characters at line 1 column 24"},
      {R"({"dim":3,"entries":[]}{})", "trailing characters at line 1 column 23"},
      {R"([3,[],1])", "trailing characters at line 1 column 7"},
      // Only JSON's own white space may follow; a byte order mark may not lead either.
      {"{\"dim\":3,\"entries\":[]}\n  \t\r\n", "decoded"},
      {R"({"dim":18446744073709551615,"entries":[]})", "decoded"},
      {"{\"dim\":3,\"entries\":[]} \x0B", "trailing characters at line 1 column 24"},
      {"{\"dim\":3,\"entries\":[]}\xEF\xBB\xBF", "trailing characters at line 1 column 23"},
      {"\xEF\xBB\xBF{\"dim\":3,\"entries\":[]}", "expected value at line 1 column 1"},
      // Skipped values are checked for form, with their own view of commas.
      {R"({"dim":3,"entries":[],"x":[1,]})", "expected value at line 1 column 30"},
      {R"({"dim":3,"entries":[],"x":{"a":1,}})", "key must be a string at line 1 column 34"},
      {R"({"dim":3,"entries":[],"x":[1 2]})", "expected `,` or `]` at line 1 column 30"},
      {R"({"dim":3,"entries":[],"x":{"a" 1}})", "expected `:` at line 1 column 32"},
      {R"({"dim":3,"entries":[],"x":[)", "EOF while parsing a list at line 1 column 27"},
      {R"({"dim":3,"entries":[],"x":1e)", "invalid number at line 1 column 28"},
      // Failures of meaning: type, missing or duplicate field, length.
      {R"({"dim":3.0,"entries":[]})",
       "invalid type: floating point `3.0`, expected usize at line 1 column 10"},
      {R"({"dim":-0,"entries":[]})",
       "invalid type: floating point `-0.0`, expected usize at line 1 column 9"},
      {R"({"dim":1e300,"entries":[]})",
       "invalid type: floating point `1e+300`, expected usize at line 1 column 12"},
      {R"({"dim":18446744073709551616,"entries":[]})",
       "invalid type: floating point `1.8446744073709552e+19`, expected usize at line 1 column 27"},
      {R"({"dim":-1,"entries":[]})",
       "invalid value: integer `-1`, expected usize at line 1 column 9"},
      {R"({"dim":-9223372036854775808,"entries":[]})",
       "invalid value: integer `-9223372036854775808`, expected usize at line 1 column 27"},
      {R"({"dim":"3","entries":[]})",
       "invalid type: string \"3\", expected usize at line 1 column 10"},
      {R"({"dim":null,"entries":[]})", "invalid type: null, expected usize at line 1 column 11"},
      {R"({"dim":true,"entries":[]})",
       "invalid type: boolean `true`, expected usize at line 1 column 11"},
      {R"({"dim":[],"entries":[]})", "invalid type: sequence, expected usize at line 1 column 7"},
      {R"({"dim":3,"entries":{}})", "invalid type: map, expected a sequence at line 1 column 19"},
      {R"("a\"b\\c\n\t\u0001\u007f\u0085")",
       "invalid type: string \"a\\\"b\\\\c\\n\\t\\u{1}\\u{7f}\\u{85}\", expected struct Snapshot "
       "at line 1 column 31"},
      {R"({"dim":3,"entries":[1]})",
       "invalid type: integer `1`, expected struct VectorEntry at line 1 column 21"},
      {R"({"dim":3,"entries":[{"id":null}]})",
       "invalid type: null, expected a string at line 1 column 30"},
      {R"({"dim":3,"entries":[{"id":"a","embedding":[true]}]})",
       "invalid type: boolean `true`, expected f32 at line 1 column 47"},
      {R"({"dim":3,"entries":[{"id":"a","embedding":[{}]}]})",
       "invalid type: map, expected f32 at line 1 column 43"},
      {R"({"dim":3,"entries":[{"id":"a","embedding":["1"]}]})",
       "invalid type: string \"1\", expected f32 at line 1 column 46"},
      {R"({"dim":3,"entries":[{"metadata":1.5}]})",
       "invalid type: floating point `1.5`, expected a string at line 1 column 35"},
      {R"({"dim":3,"entries":[{"created_at":-7}]})",
       "invalid type: integer `-7`, expected a string at line 1 column 36"},
      {R"({"dim":3})", "missing field `entries` at line 1 column 9"},
      {R"({})", "missing field `dim` at line 1 column 2"},
      {R"({"Dim":3,"entries":[]} )", "missing field `dim` at line 1 column 22"},
      {R"({"dim":3,"entries":[{"id":"","embedding":[],"created_at":""}]})",
       "missing field `metadata` at line 1 column 60"},
      {R"({"dim":3,"entries":[],"dim":4})", "duplicate field `dim` at line 1 column 27"},
      {R"({"dim":3,"entries":[{"id":"a","id" :"b"}]})", "duplicate field `id` at line 1 column 35"},
      {R"([3])", "invalid length 1, expected struct Snapshot with 2 elements at line 1 column 3"},
      {R"({"dim":3,"entries":[["a",[],"m"]]})",
       "invalid length 3, expected struct VectorEntry with 4 elements at line 1 column 32"},
      // Lines and columns count line feeds only.
      {"{\"dim\":3,\n  \"entries\":5}",
       "invalid type: integer `5`, expected a sequence at line 2 column 13"},
      {"{\"dim\":3,\n\"entries\":[]\n}\nx", "trailing characters at line 4 column 1"},
      {"{\"dim\":3,\r\n\"entries\":[],\n\n", "EOF while parsing a value at line 4 column 0"},
      {"\n\n", "EOF while parsing a value at line 3 column 0"},
      // A failure after the last byte of a line is still on that line.
      {"{\"dim\":3}\n", "missing field `entries` at line 1 column 9"},
      // Skipped values do not count towards the nesting limit, however deep.
      {R"({"dim":0,"entries":[],"x":)" + std::string(1'000'000, '{') + "}",
       "key must be a string at line 1 column 28"},
      {R"({"dim":0,"entries":[],"x":)" + std::string(1'000'000, '['),
       "EOF while parsing a list at line 1 column 1000026"},
  };
  for (const auto& c : cases) EXPECT_EQ(outcome(decode_snapshot(c.text)), c.message) << c.text;
}

TEST(JsonReader, ErrorsOfALogLine) {
  const std::vector<ErrorCase> cases = {
      {R"({"data":{"id":"x"}})", "missing field `op` at line 1 column 19"},
      {R"({"op":"Upsert","data":{"id":"a"}})",
       "unknown variant `Upsert`, expected `upsert` or `delete` at line 1 column 14"},
      {R"({"op":{"bogus":null},"data":1})",
       "unknown variant `bogus`, expected `upsert` or `delete` at line 1 column 14"},
      {R"({"op":5,"data":["x"]})", "expected value at line 1 column 7"},
      {R"({"op":null,"data":["x"]})", "expected value at line 1 column 7"},
      {R"({"op":{"delete":1},"data":["x"]})",
       "invalid type: integer `1`, expected unit at line 1 column 17"},
      {R"({"op":{"delete":null,"x":1},"data":["x"]})", "expected value at line 1 column 20"},
      {R"({"op":{5:null},"data":["x"]})",
       "invalid type: integer `5`, expected variant identifier at line 1 column 8"},
      {R"({"op":"delete","data":"x"})",
       "invalid type: string \"x\", expected struct variant WalRecord::Delete at line 1 column 25"},
      {R"(["delete"])",
       "invalid length 1, expected adjacently tagged enum WalRecord at line 1 column 10"},
      {R"({"op":"delete","data":[]})",
       "invalid length 0, expected struct variant WalRecord::Delete with 1 element at line 1 "
       "column 24"},
      {R"({"op":"delete","data":["x","y"]})", "trailing characters at line 1 column 28"},
      // Data held before its op fails only once the op is known, after the record.
      {R"({"data":{"id":1},"op":"delete"})",
       "invalid type: integer `1`, expected a string at line 1 column 31"},
      {R"({"data":{"id":1},"op":"delete","x":1})",
       "invalid type: integer `1`, expected a string at line 1 column 30"},
      {R"({"data":{"id":"x"},"op":"upsert"})", "missing field `embedding` at line 1 column 33"},
      {R"({"data":{"id":"x","id":"y"},"op":"delete"})", "duplicate field `id` at line 1 column 42"},
      {R"({"data":["x","y"],"op":"delete"})",
       "invalid length 2, expected 1 element in sequence at line 1 column 32"},
      {R"({"data":["a",[1],"m","t","x"],"op":"upsert"})",
       "invalid length 5, expected 4 elements in sequence at line 1 column 44"},
      {R"({"data":["a",[1],"m"],"op":"upsert"})",
       "invalid length 3, expected struct VectorEntry with 4 elements at line 1 column 36"},
      {R"({"data":["a",[null],"m","t"],"op":"upsert"})",
       "invalid type: null, expected f32 at line 1 column 43"},
      {R"({"data":"x","op":"delete"})",
       "invalid type: string \"x\", expected struct variant WalRecord::Delete at line 1 column 26"},
      {R"({"data":{"id":"x"},"op":"bogus"})",
       "unknown variant `bogus`, expected `upsert` or `delete` at line 1 column 31"},
      {R"({"data":[1,],"op":"delete"})", "trailing comma at line 1 column 12"},
      {R"({"data":nul,"op":"delete"})", "expected ident at line 1 column 12"},
      // The record is one level, so 126 arrays in held data are 127 levels; skipped
      // values do not count, however deep.
      {R"({"data":)" + std::string(126, '[') + std::string(126, ']') + R"(,"op":"delete"})",
       "invalid type: sequence, expected a string at line 1 column 275"},
      {R"({"data":)" + std::string(127, '[') + std::string(127, ']') + R"(,"op":"delete"})",
       "recursion limit exceeded at line 1 column 135"},
      {R"({"op":"delete","data":{"id":"x","x":)" + std::string(1'000'000, '[') +
           std::string(1'000'000, ']') + "}}",
       "decoded"},
  };
  for (const auto& c : cases) {
    bool ended = true;
    EXPECT_EQ(outcome(decode_wal_line(c.text, &ended)), c.message) << c.text;
    // Whole lines, so none of them could still become a record.
    EXPECT_FALSE(ended) << c.text;
  }
}

// Every form of a record decodes, and every proper prefix of one, white space after
// it aside, is a line cut off by a crash.
TEST(JsonReader, AcceptsEveryFormOfARecordAndItsPrefixesEndedEarly) {
  struct Case {
    std::string text;
    WalRecord::Op op;
    VectorEntry entry;
  };
  const VectorEntry a{"a", {1.0f, 0.5f, -2.25f}, "m", "t0"};
  const VectorEntry x{"x", {}, "", ""};
  const std::vector<Case> cases = {
      {R"({"op":"upsert","data":{"id":"a","embedding":[1.0,0.5,-2.25],"metadata":"m","created_at":"t0"}})",
       WalRecord::Op::Upsert, a},
      {R"({"data":{"created_at":"t0","metadata":"m","embedding":[1,5e-1,-225e-2],"id":"a"},"op":"upsert"})",
       WalRecord::Op::Upsert, a},
      {R"( [ "upsert" , [ "a" , [ 1 , 0.5 , -2.25 ] , "m" , "t0" ] ] )", WalRecord::Op::Upsert, a},
      {R"({"op":{"upsert":null},"data":["a",[1.0,0.5,-2.25],"m","t0"],"note":1})",
       WalRecord::Op::Upsert, a},
      {R"({"x":{"y":[[],{}],"s":"\udc00"},"data":{"id":"a","embedding":[1.0,0.5,-2.25],"metadata":"m","created_at":"t0","z":[{}]},"op":"upsert"})",
       WalRecord::Op::Upsert, a},
      {R"({"op":"delete","data":{"id":"x"}})", WalRecord::Op::Delete, x},
      {R"({"data":{"id":"x"},"op":"delete"})", WalRecord::Op::Delete, x},
      {R"(["delete",["x"]])", WalRecord::Op::Delete, x},
      {R"({"data":["x"],"op":{"delete":null}})", WalRecord::Op::Delete, x},
      {"\t{\"op\"\r:\n\"delete\" , \"data\":{\"\\u0069d\":\"\\u0078\",\"y\":1}}\n ",
       WalRecord::Op::Delete, x},
      {R"( { "op" : "delete" , "data" : [ "x" ] })", WalRecord::Op::Delete, x},
      {R"({"data":{"id":"x\ud83d\ude00","y":[true,false,null,-1.5e-3,{}]},"op":{"delete":null}})",
       WalRecord::Op::Delete, VectorEntry{"x\xF0\x9F\x98\x80", {}, "", ""}},
      {R"({"data":["a\"\\\/\b\f\n\r\t\u00e9\u20AC\u0001é",[1e7,-0.0,3E+2],"m","t"],"note":"\u0000","op":"upsert"})",
       WalRecord::Op::Upsert,
       VectorEntry{
           "a\"\\/\b\f\n\r\t\xC3\xA9\xE2\x82\xAC\x01\xC3\xA9", {1e7f, -0.0f, 300.0f}, "m", "t"}},
      {R"(["upsert",{"created_at":"","id":"b","metadata":"","embedding":[0.1,1e-45]}])",
       WalRecord::Op::Upsert,
       VectorEntry{"b", {0.1f, std::numeric_limits<float>::denorm_min()}, "", ""}},
  };
  for (const auto& c : cases) {
    bool ended = true;
    auto record = decode_wal_line(c.text, &ended);
    ASSERT_TRUE(record.ok()) << c.text << ": " << record.error().message();
    EXPECT_FALSE(ended) << c.text;
    EXPECT_EQ(record.value().op, c.op) << c.text;
    EXPECT_EQ(record.value().entry, c.entry) << c.text;
    for (std::size_t length = 0; length <= c.text.find_last_not_of(" \t\r\n"); ++length) {
      const std::string prefix = c.text.substr(0, length);
      ended = false;
      EXPECT_FALSE(decode_wal_line(prefix, &ended).ok()) << prefix;
      EXPECT_TRUE(ended) << prefix;
    }
  }
}

TEST(JsonReader, EndedEarlyOnlyWhenTheTextCanStillBecomeARecord) {
  struct Case {
    std::string text;
    bool ended;
  };
  const std::vector<Case> cases = {
      {R"({"data":{"id":"x","x":[[[[)", true},
      {R"({"op":{"upsert":nu)", true},
      {R"({"x":-)", true},
      {R"({"x":1.)", true},
      {R"({"x":1e+)", true},
      {R"({"x":"\u00)", true},
      {R"({"data":{"id":"x"},"op":"del)", true},
      {R"({"op":"upsert","data":{"id":"a\ud800\ud)", true},
      {R"({"op":"bogus",)", false},
      {R"({"op":"bog)", false},
      {R"({"op":"upsert","data":{"id":1)", false},
      {R"({"op":"upsert","data":{"id":tr)", false},
      {R"({"op":"upsert","data":{"id":"a\udc)", false},
      {R"({"op":"upsert","data":{"id":"a\ud800\ua)", false},
      {R"({"op":"upsert","data":{"id":"a","id")", false},
      {R"({"op":"upsert","data":{"id":"a","embedding":[1e999)", false},
      {R"({"op":"upsert","data":{"id":"a","embedding":[01)", false},
      {R"({"op":"upsert","data":["a",[],"m","t",)", false},
      {R"({"data":{"id":"x"},"op":"up)", false},
      {R"({"data":{"id":1},"op":"del)", false},
      {R"({"data":{"id":1},)", false},
      {R"({"data":["a",[1],"m","t",)", false},
      {R"({"data":["x","y")", false},
      {R"({"data":["x",)", true},
      // Unknown to a delete, so any value may follow.
      {R"({"data":{"embedding":{)", true},
      {R"({"data":{"id":{)", false},
      {R"({"data":{"id":"x","id")", false},
      {R"({"x":1}x)", false},
      {R"([)", true},
      {R"(["upsert",)", true},
      {R"(["upsert","x")", false},
  };
  for (const auto& c : cases) {
    bool ended = !c.ended;
    auto record = decode_wal_line(c.text, &ended);
    EXPECT_FALSE(record.ok()) << c.text;
    EXPECT_EQ(ended, c.ended) << c.text << " -> " << (record.ok() ? "" : record.error().message());
  }
}

// Up to nine significant digits a decimal rounds straight to float: by way of the
// double, 7.038531e-26 would hit a float tie and round to the wrong neighbour.
// Integers also round once; longer decimals go by way of a double.
TEST(JsonReader, ShortDecimalsAndIntegersRoundOnce) {
  struct Case {
    std::string text;
    float value;
  };
  const Case cases[] = {
      {"7.038531e-26", 0x1.5c87fap-84f},
      {"-7.038531e-26", -0x1.5c87fap-84f},
      {"7.03853100000e-26", 0x1.5c87fcp-84f},
      {"3.4028236e38", std::numeric_limits<float>::infinity()},
      {"7e-46", 0.0f},
      {"-7.1e-46", -0x1p-149f},
      // 2^60 + 2^36 + 1 is just above a float tie: direct rounding goes up, while the
      // double 2^60 + 2^36 is a tie that rounds to even, down to 2^60.
      {"1152921573326323713", 0x1p60f + 0x1p37f},
      {"1152921573326323713.0", 0x1p60f},
      // Integers beyond every integer type, and values beyond the float range.
      {"18446744073709551616", 0x1p64f},
      {"-9223372036854775808", -0x1p63f},
      {"9007199254740993", 0x1p53f},
      {"1e-400", 0.0f},
      {"-1e-400", -0.0f},
      {"-1e39", -std::numeric_limits<float>::infinity()},
      {"-0", -0.0f},
      {"1E+2", 100.0f},
      {"0.1e1", 1.0f},
  };
  for (const auto& c : cases) {
    float alone = 0;
    JsonReader reader(c.text);
    ASSERT_TRUE(reader.read_f32(alone)) << c.text;
    EXPECT_EQ(std::bit_cast<std::uint32_t>(alone), std::bit_cast<std::uint32_t>(c.value)) << c.text;
    const std::string line = R"({"op":"upsert","data":{"id":"","embedding":[)" + c.text +
                             R"(],"metadata":"","created_at":""}})";
    const std::string held = R"({"data":["",[)" + c.text + R"(],"",""],"op":"upsert"})";
    for (const std::string& text : {line, held}) {
      auto record = decode_wal_line(text);
      ASSERT_TRUE(record.ok()) << text << ": " << record.error().message();
      const float value = record.value().entry.embedding.at(0);
      EXPECT_EQ(std::bit_cast<std::uint32_t>(value), std::bit_cast<std::uint32_t>(c.value)) << text;
    }
  }
}

// Element lists in the compact layout go through a quicker loop. Every element,
// whatever its form, must still read as the same number read on its own: long
// numbers, and short ones like the writer's with ties between two floats and ends
// near the text's end among them.
TEST(JsonReader, CompactNumberListsReadLikeEachNumberAlone) {
  std::mt19937 rng(7);
  const auto pick = [&](int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(rng);
  };
  const auto digits = [&](int count) {
    std::string out;
    for (int i = 0; i < count; ++i) out += static_cast<char>('0' + pick(0, 9));
    return out;
  };
  // Exact ties between two floats, and zeros.
  std::vector<std::string> ties = {"16777217.0", "-16777219.0", "0.0", "-0.0", "33554434.000"};
  // Decimals within a few units of the double's last place of a point halfway
  // between two floats; for the last eight, the quotient and the product with the
  // rounded reciprocal round to two different floats.
  const char* const near_ties =
      "60.767427444458 -56.295373916626 5.8657443523407 1.7662952542305 90.292652130127 "
      "-15.235098361969 4.7285840511322 6.5376079082489 7.1593759059906 -5.0858895778656 "
      "7.9055917263031 0.0844108723104 2.5311039686203 -1.6777223944664 6.0735604763031 "
      "1.3377565741539";
  std::istringstream words(near_ties);
  for (std::string word; words >> word;) ties.push_back(word);
  const auto number = [&](int whole, int fraction) {
    if (whole < 5 && pick(0, 5) == 0) return ties[pick(0, static_cast<int>(ties.size()) - 1)];
    std::string text = pick(0, 2) == 0 ? "-" : "";
    text += pick(0, 3) == 0 ? "0" : std::to_string(pick(1, 9)) + digits(pick(0, whole));
    if (pick(0, 3) != 0) text += "." + digits(pick(1, fraction));
    if (pick(0, 4) == 0)
      text += (pick(0, 1) ? "e" : "E") + std::string(pick(0, 1) ? "-" : "+") +
              std::to_string(pick(0, 60));
    return text;
  };
  // Short lists, and lists long enough to be read in blocks of many elements.
  for (const auto& [whole, fraction, longest] :
       {std::tuple{20, 22, 12}, std::tuple{3, 14, 12}, std::tuple{3, 9, 60}}) {
    for (int round = 0; round < 3000; ++round) {
      std::vector<std::string> elements(pick(1, longest));
      std::string list = "[";
      for (std::size_t i = 0; i < elements.size(); ++i) {
        elements[i] = number(whole, fraction);
        list += (i != 0 ? (pick(0, 5) == 0 ? " , " : ",") : "") + elements[i];
      }
      // A list read in blocks ends at its bracket, whatever follows it.
      list += round % 2 != 0 ? "]" : "]3.5" + repeat(",1.5", 30);
      const std::unique_ptr<char[]> exact = exact_copy(list);
      JsonReader reader(std::string_view(exact.get(), list.size()));
      Embedding values;
      ASSERT_TRUE(read_f32_list(reader, values)) << list;
      ASSERT_EQ(reader.peek(), round % 2 != 0 ? -1 : '3') << list;
      ASSERT_EQ(values.size(), elements.size()) << list;
      for (std::size_t i = 0; i < elements.size(); ++i) {
        JsonReader alone(elements[i]);
        const bool positive = elements[i][0] != '-';
        if (!positive) alone.bump();
        JsonNumber expected;
        ASSERT_TRUE(alone.parse_number(positive, expected)) << elements[i];
        ASSERT_EQ(std::bit_cast<std::uint32_t>(values[i]),
                  std::bit_cast<std::uint32_t>(expected.to_f32()))
            << elements[i] << " in " << list;
      }
    }
  }
}

// A bad element anywhere in a compact list fails where it would in any layout.
TEST(JsonReader, CompactNumberListsFailAtTheBadElement) {
  const std::vector<ErrorCase> cases = {
      {"[1.5,2.5,-]", "invalid number at line 1 column 11"},
      {"[1.5,2.5,01]", "invalid number at line 1 column 11"},
      {"[1.5,2.5,1.]", "invalid number at line 1 column 12"},
      {"[1.5,2.5,1e]", "invalid number at line 1 column 12"},
      {"[1.5,2.5,]", "trailing comma at line 1 column 10"},
      {"[1.5,2.5 2]", "expected `,` or `]` at line 1 column 10"},
      {"[1.5,2.5,1.5x]", "expected `,` or `]` at line 1 column 13"},
      {"[1.5,2.5,1.5e]", "invalid number at line 1 column 14"},
      {"[1.5,2.5,null]", "invalid type: null, expected f32 at line 1 column 13"},
      {"[1.5,2.5,1e999]", "number out of range at line 1 column 14"},
      {"[1.5,2.5", "EOF while parsing a list at line 1 column 8"},
      {"[1.5,2.5,", "EOF while parsing a value at line 1 column 9"},
  };
  // The same after a long run of good elements, and, where the list can go on,
  // before another: the bad element then stands where lists are read in blocks.
  // Each text lies in a buffer of its exact size, so that no read past it goes
  // unnoticed under the address sanitizer.
  const std::string run = repeat("1.5,", 30);
  for (const auto& c : cases) {
    const bool ends_early = c.message.starts_with("EOF") || c.message.starts_with("trailing");
    std::string text = "[" + run + c.text.substr(1);
    if (!ends_early) text = text.substr(0, text.size() - 1) + repeat(",1.5", 30) + "]";
    const std::size_t column = c.message.rfind(' ') + 1;
    const std::string message = c.message.substr(0, column) +
                                std::to_string(std::stoul(c.message.substr(column)) + run.size());
    for (const std::string& each : {c.text, text}) {
      const std::unique_ptr<char[]> exact = exact_copy(each);
      JsonReader reader(std::string_view(exact.get(), each.size()));
      Embedding values;
      ASSERT_FALSE(read_f32_list(reader, values)) << each;
      EXPECT_EQ(reader.take_error().message(), each == c.text ? c.message : message) << each;
    }
  }
}

}  // namespace
}  // namespace pvdb::core

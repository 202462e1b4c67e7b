#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/wal.h"

namespace pvdb::core {
namespace {

// Every proper prefix of these lines is a log line cut off by a crash.
const std::vector<std::string> kValidLines = {
    R"({"op":"upsert","data":{"id":"a","embedding":[1.0,0.5,-2.25],"metadata":"m","created_at":"t0"}})",
    R"({"op":"delete","data":{"id":"a"}})",
    R"({"data":{"id":"x\ud83d\ude00","y":[true,false,null,-1.5e-3,{}]},"op":{"delete":null}})",
    R"({"data":["a\"\\\/\b\f\n\r\t\u00e9",[1e7,-0.0,3E+2],"m","t"],"note":"\u0000","op":"upsert"})",
    R"(["upsert",{"created_at":"","id":"b","metadata":"","embedding":[0.1,1e-45]}])",
    R"( { "op" : "delete" , "data" : [ "x" ] })",
};

TEST(WalCodec, EveryProperPrefixEndedEarly) {
  for (const std::string& line : kValidLines) {
    bool ended = false;
    ASSERT_TRUE(decode_wal_line(line, &ended).ok()) << line;
    EXPECT_FALSE(ended);
    for (std::size_t length = 0; length < line.size(); ++length) {
      const std::string prefix = line.substr(0, length);
      ended = false;
      auto record = decode_wal_line(prefix, &ended);
      EXPECT_FALSE(record.ok()) << prefix;
      EXPECT_TRUE(ended) << prefix << " -> " << (record.ok() ? "" : record.error().message());
    }
  }
}

TEST(WalCodec, EndedEarlyOnlyWhenTheTextCanStillBecomeARecord) {
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
      {R"({"op":"upsert"})", false},
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

}  // namespace
}  // namespace pvdb::core

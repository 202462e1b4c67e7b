#include "core/wal_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace pvdb::core {
namespace {

struct Read {
  std::string text;
  bool terminated;
  bool operator==(const Read&) const = default;
};

std::vector<Read> read_lines(const std::string& content) {
  char path[] = "/tmp/pvdb_wal_reader_XXXXXX";
  const int fd = ::mkstemp(path);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
  ::lseek(fd, 0, SEEK_SET);
  WalLineReader reader(fd);
  std::vector<Read> lines;
  WalLineReader::Line line;
  while (true) {
    auto more = reader.next(line);
    EXPECT_TRUE(more.ok());
    if (!more.ok() || !more.value()) break;
    lines.push_back({std::string(line.text), line.terminated});
  }
  ::close(fd);
  ::unlink(path);
  return lines;
}

TEST(WalLineReader, SplitsAtLineFeedsThroughItsBuffer) {
  const std::string long_line(20000, 'x');
  const std::string edge(8191, 'e');
  struct Case {
    std::string content;
    std::vector<Read> lines;
  };
  const std::vector<Case> cases = {
      {"", {}},
      {"a\nb\n", {{"a", true}, {"b", true}}},
      {"a\r\nb\r\n", {{"a", true}, {"b", true}}},
      {"a\n\n  \nlast", {{"a", true}, {"", true}, {"  ", true}, {"last", false}}},
      // Only a carriage return right before a line feed is dropped.
      {"a\rb\r\r\nc\r", {{"a\rb\r", true}, {"c\r", false}}},
      // Lines longer than the buffer, and a line feed or CR LF at its boundary.
      {"short\n" + long_line + "\n" + long_line + "y\n" + long_line,
       {{"short", true}, {long_line, true}, {long_line + "y", true}, {long_line, false}}},
      {edge + "\nnext\n", {{edge, true}, {"next", true}}},
      {edge + "\r\n", {{edge, true}}},
  };
  for (const auto& c : cases) EXPECT_EQ(read_lines(c.content), c.lines) << c.content.size();
}

TEST(WalLineReader, ReadErrorIsIo) {
  const int fd = ::open("/tmp", O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  WalLineReader reader(fd);
  WalLineReader::Line line;
  auto more = reader.next(line);
  ASSERT_FALSE(more.ok());
  EXPECT_EQ(more.error().message(), "Is a directory (os error 21)");
  ::close(fd);
}

}  // namespace
}  // namespace pvdb::core

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

TEST(WalLineReader, SplitsAtLineFeeds) {
  EXPECT_EQ(read_lines(""), std::vector<Read>{});
  EXPECT_EQ(read_lines("a\nb\n"), (std::vector<Read>{{"a", true}, {"b", true}}));
  EXPECT_EQ(read_lines("a\r\nb\r\n"), (std::vector<Read>{{"a", true}, {"b", true}}));
  EXPECT_EQ(read_lines("a\n\n  \nlast"),
            (std::vector<Read>{{"a", true}, {"", true}, {"  ", true}, {"last", false}}));
  // Only a carriage return right before a line feed is dropped.
  EXPECT_EQ(read_lines("a\rb\r\r\nc\r"), (std::vector<Read>{{"a\rb\r", true}, {"c\r", false}}));
}

TEST(WalLineReader, LinesLongerThanTheBuffer) {
  const std::string long_line(20000, 'x');
  const std::string content = "short\n" + long_line + "\n" + long_line + "y\n" + long_line;
  const auto lines = read_lines(content);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], (Read{"short", true}));
  EXPECT_EQ(lines[1], (Read{long_line, true}));
  EXPECT_EQ(lines[2], (Read{long_line + "y", true}));
  EXPECT_EQ(lines[3], (Read{long_line, false}));
  // A line feed exactly at a buffer boundary.
  const std::string edge = std::string(8191, 'e') + "\n" + "next\n";
  EXPECT_EQ(read_lines(edge), (std::vector<Read>{{std::string(8191, 'e'), true}, {"next", true}}));
  const std::string split_crlf = std::string(8191, 'e') + "\r\n";
  EXPECT_EQ(read_lines(split_crlf), (std::vector<Read>{{std::string(8191, 'e'), true}}));
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

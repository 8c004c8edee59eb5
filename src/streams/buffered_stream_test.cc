#include "streams/buffered_stream.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "streams/test_string_file.h"

namespace ostrel {
namespace {

// What is not taken stays, in order, ahead of what is read next, whatever
// the read size; a read error is reported.
TEST(InputStream, KeepsWhatIsNotTakenAheadOfTheNextRead) {
  StringFile file("abcdefghij", 3);
  std::vector<char> buffer(5);
  InputStream in(file, buffer);
  std::string seen;
  while (!in.at_end()) {
    ASSERT_TRUE(in.read_more().ok());
    const std::span<const char> text = in.buffered();
    // Take all but the last byte, which waits for the next read.
    const std::size_t take = in.at_end() ? text.size() : text.size() - 1;
    seen.append(text.data(), take);
    in.take(take);
  }
  EXPECT_EQ(seen, "abcdefghij");
  EXPECT_EQ(in.bytes_read(), 10U);

  file.faults = {Fault{Call::read, file.calls[Call::read] + 1, EIO}};
  ASSERT_TRUE(file.rewind().ok());
  InputStream failing(file, buffer);
  const Status status = failing.read_more();
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().code, EIO);
}

TEST(OutputStream, KeepsFirstError) {
  StringFile file;
  file.faults = {Fault{Call::write, 1, ENOSPC, 2}};
  std::vector<char> buffer(4);
  OutputStream out(file, buffer);
  const auto put = [&](std::string_view bytes) {
    bytes.copy(out.room().data(), bytes.size());
    out.commit(bytes.size());
    return out.flush();
  };
  const Status failed = put("abcd");
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().code, ENOSPC);
  // Later flushes keep reporting it, and nothing more reaches the file.
  const Status flushed = put("e");
  ASSERT_FALSE(flushed.ok());
  EXPECT_EQ(flushed.error().code, ENOSPC);
  EXPECT_EQ(file.bytes, "ab");
  EXPECT_EQ(file.calls[Call::write], 1);
}

}  // namespace
}  // namespace ostrel

#include "rewrite/indent_removal.h"

#include <array>
#include <memory>
#include <vector>

#include "streams/buffered_stream.h"

namespace ostrel {

namespace {

// Read-ahead and write-behind buffers: large enough that system calls cost
// little per byte, small enough that memory use stays flat.
constexpr std::size_t STREAM_BUFFER_SIZE = std::size_t{128} * 1024;

// Copies the target into the work file without the spaces that start each
// line. A line longer than the line buffer arrives in several pieces; only
// the spaces at the start of the whole line go, however many pieces they span.
Status strip_pass(InputStream& target, OutputStream& work, std::span<char> line) {
  bool in_indent = true;
  for (;;) {
    std::size_t length = 0;
    if (Status status = target.read_piece(line, length); !status.ok()) return status;
    if (length == 0) return work.flush();
    const std::span<const char> piece(line.data(), length);
    const std::size_t strip = in_indent ? strip_leading_spaces(piece) : 0;
    in_indent = piece.back() == '\n' || (in_indent && strip == length);
    if (Status status = work.write(piece.subspan(strip)); !status.ok()) return status;
  }
}

// Copies the work file, piece by piece and unchanged, into the target.
Status copy_back_pass(InputStream& work, OutputStream& target, std::span<char> line) {
  for (;;) {
    std::size_t length = 0;
    if (Status status = work.read_piece(line, length); !status.ok()) return status;
    if (length == 0) return target.flush();
    if (Status status = target.write(line.first(length)); !status.ok()) return status;
  }
}

}  // namespace

std::size_t strip_leading_spaces(std::span<const char> piece) {
  std::size_t count = 0;
  while (count < piece.size() && piece[count] == ' ') ++count;
  return count;
}

RewriteResult run_indent_removal(FileSystem& file_system, const std::string& name,
                                 const std::function<void()>& copying_back) {
  const auto failed = [](RewriteOutcome outcome, const Status& status) {
    return RewriteResult{outcome, status.error()};
  };
  std::unique_ptr<File> target;
  if (Status status = file_system.open_for_update(name, target); !status.ok()) {
    return failed(RewriteOutcome::open_failed, status);
  }
  std::unique_ptr<File> work;
  if (Status status = file_system.create_work_file(work); !status.ok()) {
    return failed(RewriteOutcome::failed_unchanged, status);
  }

  std::array<char, LINE_BUFFER_SIZE> line{};
  std::vector<char> input_buffer(STREAM_BUFFER_SIZE);
  std::vector<char> output_buffer(STREAM_BUFFER_SIZE);

  // Until the target is opened again below, it has only been read.
  {
    InputStream from(*target, input_buffer, LineEnds::text);
    OutputStream to(*work, output_buffer, LineEnds::binary);
    if (Status status = strip_pass(from, to, line); !status.ok()) {
      return failed(RewriteOutcome::failed_unchanged, status);
    }
  }
  copying_back();
  if (Status status = target->close(); !status.ok()) {
    return failed(RewriteOutcome::failed_unchanged, status);
  }
  // An open that fails does not truncate, so the target is still whole.
  if (Status status = file_system.open_truncated(name, target); !status.ok()) {
    return failed(RewriteOutcome::failed_unchanged, status);
  }

  // From here on the target holds only what has been copied back so far.
  if (Status status = work->rewind(); !status.ok()) {
    return failed(RewriteOutcome::failed_after_emptying, status);
  }
  {
    InputStream from(*work, input_buffer, LineEnds::binary);
    OutputStream to(*target, output_buffer, LineEnds::text);
    if (Status status = copy_back_pass(from, to, line); !status.ok()) {
      return failed(RewriteOutcome::failed_after_emptying, status);
    }
  }
  if (Status status = target->close(); !status.ok()) {
    return failed(RewriteOutcome::failed_after_emptying, status);
  }
  // Every byte of the work file has been read back, so a failure to close it
  // can cost nothing; the file disappears either way.
  static_cast<void>(work->close());
  return {};
}

}  // namespace ostrel

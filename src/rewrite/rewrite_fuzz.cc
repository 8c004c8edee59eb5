// Differential fuzz target: random bytes, read in random chunk sizes through
// random buffer and line sizes, go through the real stream layer and both
// passes, and must come out as the plain-rules model says.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "rewrite/indent_removal.h"
#include "rewrite/reference_model.h"
#include "rewrite/strip_pass.h"
#include "streams/buffered_stream.h"
#include "streams/memory_file_system.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace ostrel;
  if (size < 4) return 0;
  // The first four bytes choose the sizes; the rest is the file.
  const std::size_t line_size = (data[0] & 0x80) != 0 ? LINE_BUFFER_SIZE : 2 + data[0] % 32;
  const std::size_t input_size = line_size + 1 + data[1] % 64;
  const std::size_t output_size = 1 + data[2] % 64;
  const std::size_t read_chunk = 1 + data[3] % 64;
  const std::string text(reinterpret_cast<const char*>(data) + 4, size - 4);
  const std::string expected = reference_rewrite(text);

  // The passes with small, odd sizes.
  MemoryFileSystem fs;
  fs.put("t", text);
  fs.read_chunk = read_chunk;
  std::unique_ptr<File> target;
  std::unique_ptr<WorkFile> work;
  std::unique_ptr<File> copy;
  check(fs.open_for_update("t", target).ok());
  check(fs.create_work_file(work).ok());
  check(fs.create_new("copy", copy).ok());
  std::vector<char> input_buffer(input_size);
  std::vector<char> output_buffer(output_size);
  InputStream from(*target, input_buffer, LineEnds::text, line_size);
  OutputStream to(*work, output_buffer, LineEnds::text);
  check(strip_pass(from, to).ok());
  check(work->rewind().ok());
  check(work->copy_to(*copy, input_buffer).ok());
  check(*fs.bytes("copy") == expected);

  // The whole run, as the program makes it.
  MemoryFileSystem whole;
  whole.put("t", text);
  whole.read_chunk = read_chunk;
  check(run_indent_removal(whole, "t", {}).outcome == RewriteOutcome::done);
  check(*whole.bytes("t") == expected);
  return 0;
}

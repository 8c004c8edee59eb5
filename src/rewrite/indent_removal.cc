#include "rewrite/indent_removal.h"

#include <memory>

#include "rewrite/strip_pass.h"

namespace ostrel {

namespace {

// Read-ahead and write-behind buffers: large enough that system calls cost
// little per byte, small enough that memory use stays flat.
constexpr std::size_t STREAM_BUFFER_SIZE = std::size_t{128} * 1024;

}  // namespace

RewriteResult run_indent_removal(FileSystem& file_system, const std::string& name,
                                 const std::function<void()>& copying_back) {
  const auto failed = [](RewriteOutcome outcome, const Status& status) {
    RewriteResult result;
    result.outcome = outcome;
    result.error = status.error();
    return result;
  };
  std::unique_ptr<File> target;
  if (Status status = file_system.open_for_update(name, target); !status.ok()) {
    return failed(RewriteOutcome::open_failed, status);
  }
  std::unique_ptr<File> work;
  if (Status status = file_system.create_work_file(work); !status.ok()) {
    return failed(RewriteOutcome::failed_unchanged, status);
  }

  // Left uninitialised: a small file then touches only the memory it needs.
  const auto input_memory = std::make_unique_for_overwrite<char[]>(STREAM_BUFFER_SIZE);
  const auto output_memory = std::make_unique_for_overwrite<char[]>(STREAM_BUFFER_SIZE);
  const std::span<char> input_buffer(input_memory.get(), STREAM_BUFFER_SIZE);
  const std::span<char> output_buffer(output_memory.get(), STREAM_BUFFER_SIZE);

  // Until the target is opened again below, it has only been read.
  if (Status status = strip_file(*target, *work, input_buffer, output_buffer); !status.ok()) {
    return failed(RewriteOutcome::failed_unchanged, status);
  }
  copying_back();
  if (Status status = target->close(); !status.ok()) {
    return failed(RewriteOutcome::failed_unchanged, status);
  }

  // From the moment the target is emptied until the outcome is reported,
  // an interrupt must wait: stopping halfway would lose the text.
  file_system.hold_interrupts();
  // An open that fails does not truncate, so the target is still whole.
  if (Status status = file_system.open_truncated(name, target); !status.ok()) {
    return failed(RewriteOutcome::failed_unchanged, status);
  }
  // From here on the target holds only what has been copied back so far;
  // should the copy fail, the complete text is saved from the work file.
  Status status = work->rewind();
  if (status.ok()) status = work->copy_to(*target, input_buffer);
  if (status.ok()) status = target->close();
  if (!status.ok()) {
    RewriteResult result = failed(RewriteOutcome::failed_after_emptying, status);
    if (Status saved = file_system.save_work_file(*work, name, result.saved_as); !saved.ok()) {
      result.save_error = saved.error();
    }
    return result;
  }
  // Every byte of the work file has been read back, so a failure to close it
  // can cost nothing; the file disappears either way.
  static_cast<void>(work->close());
  return {};
}

}  // namespace ostrel

// An in-memory file system for tests: files are byte strings, reads return
// at most read_chunk bytes, and chosen calls can be made to fail.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "streams/file_system.h"

namespace ostrel {

enum class Call {
  open_for_update,
  open_truncated,
  create_work_file,
  save_work_file,
  read,
  write,
  rewind,
  close,
  hold_interrupts,  // logged, never failed
  release_interrupts,
};

struct Fault {
  Call call{};
  int nth = 1;  // fail the nth call of that kind, counting from 1
  int code = 0;
  std::size_t lands = 0;  // for a write: how many bytes land before it fails
};

class MemoryFileSystem final : public FileSystem {
 public:
  Status open_for_update(const std::string& name, std::unique_ptr<File>& file) override;
  Status open_truncated(const std::string& name, std::unique_ptr<File>& file) override;
  Status create_work_file(std::unique_ptr<File>& file) override;
  Status save_work_file(File& work, const std::string& target_name, std::string& saved_as) override;
  void hold_interrupts() override;
  void release_interrupts() override;

  // Counts the call and returns the injected error if one is due.
  std::optional<int> fail_now(Call call);
  // How many bytes of a failing write land, for the fault just reported.
  std::size_t lands = 0;

  std::map<std::string, std::string> files;
  std::size_t read_chunk = std::size_t(-1);
  std::vector<Fault> faults;
  std::map<Call, int> calls;  // how many calls of each kind were made
  std::vector<Call> log;      // every call, in order
  int open_work_files = 0;    // work files created and not yet closed or released
  bool interrupts_held = false;
};

}  // namespace ostrel

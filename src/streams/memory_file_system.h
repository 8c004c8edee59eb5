// An in-memory file system for the tests of the program's transcript, the
// strip pass and the streams, and for the fuzzer: files are byte strings
// under names, reads return at most read_chunk bytes, chosen calls can be
// made to fail, and other programs can be made to act at chosen moments.
// The rewrite's protocol is tested on the real file system, through
// FaultyFileSystem. Where this one differs from the real layer:
// - a closed file stays usable, and removing one name of a file with
//   several leaves the others' change time alone;
// - any name that is not a file is taken for a directory that only the
//   user may change, that outlives a restart, and where files can always be
//   created; there are no symbolic links;
// - the lock excludes nobody: lock_busy stands for another run holding it;
//   there are no leases, interrupts never come, and nothing is copied by a
//   kernel;
// - nothing is ever lost in a power cut;
// - a file's identity may come back unless it has a birth time, the POSIX
//   rule; on Windows the volume's file system decides.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "streams/fault_table.h"
#include "streams/file_system.h"

namespace ostrel {

struct MemoryNode {
  std::string bytes;
  FileIdentity identity;
  std::int64_t modified = 0;
  bool owned_by_user = true;
  std::uint64_t links = 0;
};

// How the file system names name in directory, as the program joins them.
inline std::string joined(const std::string& directory, const std::string& name) {
  return utf8_of(std::filesystem::path(path_from_utf8(directory)) / path_from_utf8(name));
}

class MemoryFileSystem final : public FileSystem, public FaultTable {
 public:
  Status open_for_update(const std::filesystem::path& path, std::unique_ptr<File>& file,
                         bool wait) override;
  Status open_for_reading(const std::filesystem::path& path, std::unique_ptr<File>& file) override;
  Status identity_of(const std::filesystem::path& path, FileIdentity& identity) override;
  Status state_of(const std::filesystem::path& path, FileState& state) override;
  Status create_work_file(const std::filesystem::path& dir,
                          std::unique_ptr<WorkFile>& file) override;
  Status create_new(const std::filesystem::path& path, std::unique_ptr<File>& file) override;
  Status remove(const std::filesystem::path& path, const FileIdentity& identity) override;
  Status rename_new(const std::filesystem::path& from, const std::filesystem::path& to) override;
  Status sync_directory(const std::filesystem::path& dir) override;
  Status names_in(const std::filesystem::path& dir, const std::string& prefix,
                  std::vector<std::string>& found) override;
  std::filesystem::path private_directory() override { return "/tmp"; }
  std::unique_ptr<InterruptHold> hold_interrupts() override;

  // A new file of these bytes at name, replacing whatever was there.
  MemoryNode& put(const std::string& name, std::string bytes);
  // The bytes of the file at name, or nullopt if there is none.
  std::optional<std::string> bytes(const std::string& name) const;

  // The clock that stamps modification times.
  std::int64_t clock = 0;

  std::map<std::string, std::shared_ptr<MemoryNode>> names;
  std::size_t read_chunk = std::size_t(-1);
  bool lock_busy = false;  // another run holds the lock until it is waited for

 private:
  std::uint64_t next_file_ = 1;
};

}  // namespace ostrel

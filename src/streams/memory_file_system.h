// An in-memory file system for tests: files are byte strings under names,
// reads return at most read_chunk bytes, chosen calls can be made to fail,
// and other programs can be made to act at chosen moments. It serves the
// tables of the rewrite's outcomes, which need what a disk cannot do at a
// chosen call; what the real layer does is tested through FaultyFileSystem
// on the disk. Where it differs from the real layer:
// - a closed file stays usable, and removing one name of a file with
//   several leaves the others' change time alone;
// - any name that is not a file is taken for a directory, and others may
//   rename files in the ones listed in open_directories only;
// - locks and leases exclude nobody: lock_busy, lease_busy, leases and
//   let_in stand for other runs and programs, and nothing is copied by a
//   kernel;
// - nothing is ever lost in a power cut (FaultyFileSystem models those);
// - a file's identity may come back unless it has a birth time, the POSIX
//   rule; on Windows the volume's file system decides.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "streams/fault_table.h"
#include "streams/file_system.h"

namespace ostrel {

struct MemoryNode {
  std::string bytes;
  FileIdentity identity;
  std::int64_t modified = 0;
  bool regular = true;
  bool owned_by_user = true;
  bool writable_by_others = false;
  std::uint64_t links = 0;
  bool locked = false;
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
  std::vector<std::string> names_in(const std::filesystem::path& dir,
                                    const std::string& prefix) override;
  std::vector<std::filesystem::path> temp_directories() override {
    return {path_from_utf8(system_temp), path_from_utf8(temp_directory)};
  }
  std::unique_ptr<InterruptHold> hold_interrupts() override;

  // A new file of these bytes at name, replacing whatever was there.
  MemoryNode& put(const std::string& name, std::string bytes);
  // The bytes of the file at name, or nullopt if there is none.
  std::optional<std::string> bytes(const std::string& name) const;
  // Every name, in order.
  std::vector<std::string> list() const;

  // The clock that stamps modification times.
  std::int64_t clock = 0;

  std::map<std::string, std::shared_ptr<MemoryNode>> names;
  std::map<std::string, std::string> symlinks;  // a name that is a link, and where it leads
  std::set<std::string> open_directories;       // where others may rename files
  std::set<std::string> emptied_by_restart;     // directories on tmpfs
  std::set<std::string> closed_directories;     // where no file can be created
  std::string temp_directory = "/tmp";          // the temporary directory set
  std::string system_temp = "/tmp";             // the system's own
  std::size_t read_chunk = std::size_t(-1);
  bool lock_busy = false;   // another run holds the lock until it is waited for
  bool lease_busy = false;  // another program keeps openers waiting until waited for
  bool leases = false;      // a run may keep openers waiting
  bool let_in = false;      // openers are no longer kept waiting
  bool interrupt = false;   // a request to end the process has come
  int holds = 0;            // interrupt holds in force
  int open_work_files = 0;  // work files created and not yet closed or released

 private:
  // The file name leads to, through a symbolic link if it is one.
  auto followed(const std::string& name) {
    const auto link = symlinks.find(name);
    return names.find(link == symlinks.end() ? name : link->second);
  }

  std::uint64_t next_file_ = 1;
};

}  // namespace ostrel

// A file system that passes every call to another one, the real one in
// tests, and fails the calls a FaultTable chooses: the fallbacks of the
// rewrite can so be reached on a real disk. Other programs act on the disk
// itself, at chosen calls (the table's meddles). What the disk cannot be
// made to do at a chosen moment, the wrapper says instead: reads cut short
// (read_chunk), what the OS says of a file (restate: another owner, no
// birth times, a clock that did not move), openers let in past a lease
// (let_in), and a request to end the process (interrupt).
//
// It also keeps account of what has not been forced to stable storage, so
// that a power cut can be simulated: once the calls stop (stop_after), cut()
// leaves the files as a crash of the OS may: all that was written (kept),
// everything not forced to disk lost, names not forced to disk gone and
// files emptied (lost), or everything back as it was when last forced to
// disk (old).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "streams/fault_table.h"
#include "streams/file_system.h"

namespace ostrel {

class FaultyFileSystem final : public FileSystem, public FaultTable {
 public:
  explicit FaultyFileSystem(FileSystem& real) : real_(real) {}

  Status open_for_update(const std::filesystem::path& path, std::unique_ptr<File>& file,
                         bool wait) override;
  Status open_for_reading(const std::filesystem::path& path, std::unique_ptr<File>& file) override;
  Status identity_of(const std::filesystem::path& path, FileIdentity& identity) override;
  Status state_of(const std::filesystem::path& path, FileState& state) override;
  Status create_work_file(const std::filesystem::path& part, std::unique_ptr<File>& file) override;
  Status name_work_file(File& work, const std::filesystem::path& path) override;
  Status remove(const std::filesystem::path& path, const FileIdentity& identity) override;
  Status sync_directory(const std::filesystem::path& dir) override;
  Status names_in(const std::filesystem::path& dir, const std::string& prefix,
                  std::vector<std::string>& names) override;
  std::filesystem::path private_directory() override;
  std::unique_ptr<InterruptHold> hold_interrupts() override;

  // Set, the user's private directory in place of the real one.
  std::filesystem::path private_dir;
  // Set, changes what the OS says of every file and directory.
  std::function<void(FileState&)> restate;
  std::size_t read_chunk = SIZE_MAX;  // no read returns more bytes
  bool let_in = false;                // the OS no longer keeps other programs out
  bool interrupt = false;             // a request to end the process has come
  int holds = 0;                      // interrupt holds in force
  int locks = 0;                      // locks held

  enum class Crash { kept, lost, old };
  // Leaves the files as a power cut at this moment may have left them; a
  // process that was only stopped (kept) leaves what is not on disk at risk
  // for the runs that follow on this file system.
  void cut(Crash crash);

 private:
  class FaultyFile;

  // The hook before every call: counts it, lets other programs act, and
  // gives the error to fail it with, if one is due.
  std::optional<Error> fault(Call call, Operation operation, const std::filesystem::path& path);
  Status wrap(Status status, std::unique_ptr<File>& file, bool work = false);

  // What a crash keeps of a file and its names is recorded before it changes.
  void touched(const File& file);
  void synced(const File& file);
  // The name is gone; had is what it named, if that was on disk.
  void unnamed(const std::string& name, std::optional<std::string> had);

  FileSystem& real_;
  // Names given or taken away since their directory was last forced to
  // disk: nullopt for one given, else what the one taken away named.
  std::map<std::string, std::optional<std::string>> names_;
  // Files written since last forced to disk, and what they held then.
  std::map<std::string, std::string> contents_;
  // Files whose mark was written since last forced to disk, and the mark
  // they had then.
  std::map<std::string, std::string> marks_;
  // Work files: the real one, the name given, if any, and whether written
  // since last forced to disk.
  struct Work {
    File* inner = nullptr;
    std::string name;
    bool dirty = false;
  };
  std::map<const File*, Work> work_;
};

}  // namespace ostrel

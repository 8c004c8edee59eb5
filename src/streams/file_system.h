// The narrow interface to the OS that the rewrite works through: open files,
// their locks and identities, the work file, names, and the holding of
// interrupts. These are mechanisms only; the order in which the rewrite uses
// them, and every safety rule, is the rewrite's. The real implementations
// talk to the OS; tests wrap them in one that can fail any call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "streams/error.h"

namespace ostrel {

// Which file an open file or a name is. The device and file numbers tell
// files apart at one moment; the birth time tells a file from a later one
// that was given the numbers of a deleted one.
struct FileIdentity {
  std::uint64_t device = 0;  // device number, or the volume serial number
  std::uint64_t file = 0;    // inode number, or the file ID
  // Birth time in the OS's finest unit, where the file system keeps one;
  // else 0. (On Windows 0: an NTFS file ID changes when a deleted file's
  // record is used again, and Wine's creation time is not a birth time.)
  std::int64_t born = 0;
  bool operator==(const FileIdentity&) const = default;
};

// What the OS says of an open file.
struct FileState {
  FileIdentity identity;
  std::uint64_t size = 0;
  std::int64_t modified = 0;        // last write, in the OS's finest unit
  std::int64_t status_changed = 0;  // last change of content or metadata, likewise
  bool regular = false;             // a plain file on disk
  bool owned_by_user = false;       // owned by the user the program runs as
  bool owned_by_system = false;     // owned by root, or the Administrators or the system
  // Someone else may write it (for a directory: add and remove names). A
  // group that is the user's own primary group is not someone else.
  bool writable_by_others = false;
  std::uint64_t links = 0;  // the number of names it has
  // A directory whose files outlive a restart: not on tmpfs or ramfs.
  bool survives_restart = true;
};

// An open file, read and written as raw bytes: no line-end conversion here.
class File {
 public:
  File() = default;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  // Releases the file if close() was never called; call close() to see errors.
  virtual ~File() = default;

  // Reads up to into.size() bytes; got == 0 means the end of the file.
  virtual Status read(std::span<char> into, std::size_t& got) = 0;
  // Writes all of bytes, or fails.
  virtual Status write(std::span<const char> bytes) = 0;
  // Moves to the first byte.
  virtual Status rewind() = 0;
  // Forces the file's bytes and size to stable storage, so that they outlive
  // a power cut or a crash of the OS.
  virtual Status sync() = 0;
  // Empties the file through this open file and moves to its start.
  virtual Status truncate() = 0;
  virtual Status state(FileState& state) = 0;
  // Takes an exclusive lock on the whole file, which other runs taking it
  // respect, until the file is closed. When wait is false and another holds
  // it, succeeds leaving locked false; when wait is true, waits for it.
  virtual Status lock(bool wait, bool& locked) = 0;
  // Where the OS can: makes any other program that opens the file from now
  // on wait (for a while) until the file is closed, and returns true. It
  // cannot when another program has the file open already.
  virtual bool keep_openers_waiting() { return false; }
  // Whether openers still wait: false once the OS has stopped keeping them
  // out (on Linux after /proc/sys/fs/lease-break-time), when one may write.
  virtual bool openers_still_wait() { return false; }
  // Writes to `to` the bytes from this file's position on, up to its end or
  // limit bytes (or fewer, when a signal comes), and adds their count to
  // copied. The bytes pass through buffer unless the OS can copy them by
  // itself.
  virtual Status copy_to(File& to, std::span<char> buffer, std::uint64_t limit,
                         std::uint64_t& copied);
  virtual Status close() = 0;

  // The mark: a short text that the file itself carries beside its bytes,
  // and that stays with it through other names, renames, remounts and
  // copies that keep metadata (an extended attribute on Linux, a named
  // stream on NTFS). read_mark leaves mark empty when there is none, and
  // supported false when the file system keeps no marks at all.
  virtual Status read_mark(std::string& mark, bool& supported) = 0;
  // Sets the mark, or removes it when mark is empty; it reaches stable
  // storage with the next sync() at the latest.
  virtual Status write_mark(const std::string& mark) = 0;
  // The file's own path, every symbolic link resolved.
  virtual Status real_path(std::filesystem::path& path) = 0;

  // The OS's handle, for an OS layer to pass to the kernel; -1 when none.
  virtual std::intptr_t native_handle() const { return -1; }
  // The path that errors name: the file's own, or a work file's directory.
  virtual std::string path() const = 0;
  // Whether it is a work file (see FileSystem::create_work_file).
  virtual bool is_work_file() const { return false; }
};

// From its creation to its destruction, requests to end the process (any
// signal whose default is to end it, Ctrl-C, closing the console) wait.
// Destroying it lets one that came meanwhile take effect, so it may end the
// process there and then.
class InterruptHold {
 public:
  InterruptHold() = default;
  InterruptHold(const InterruptHold&) = delete;
  InterruptHold& operator=(const InterruptHold&) = delete;
  virtual ~InterruptHold() = default;
  // Whether a request to end the process is waiting.
  virtual bool pending() const = 0;
};

class FileSystem {
 public:
  FileSystem() = default;
  FileSystem(const FileSystem&) = delete;
  FileSystem& operator=(const FileSystem&) = delete;
  virtual ~FileSystem() = default;

  // Opens an existing regular file for reading and writing, following
  // symbolic links; never creates or truncates. Anything but a regular file
  // is refused without being touched. When wait is false and another
  // program keeps openers waiting, succeeds leaving file empty.
  virtual Status open_for_update(const std::filesystem::path& path, std::unique_ptr<File>& file,
                                 bool wait) = 0;
  // Opens an existing file for reading, never through a symbolic link as
  // the last part of path and never waiting (a FIFO opens empty). When
  // nothing at all is at path, succeeds and leaves file empty.
  virtual Status open_for_reading(const std::filesystem::path& path,
                                  std::unique_ptr<File>& file) = 0;
  // What the OS says of the file or directory path leads to now, following
  // symbolic links.
  virtual Status state_of(const std::filesystem::path& path, FileState& state) = 0;
  // Which file path leads to now, following symbolic links.
  virtual Status identity_of(const std::filesystem::path& path, FileIdentity& identity);
  // Creates the work file: a new file for reading and writing that only the
  // user may open, nameless in the directory of part where the file system
  // can make one, else at part itself (failing if anything is there). Either
  // way it goes when closed, or when the process ends, unless it is named;
  // only a signal that ends the process leaves a file at part behind.
  virtual Status create_work_file(const std::filesystem::path& part,
                                  std::unique_ptr<File>& file) = 0;
  // Gives the open work file the name path, in its own directory, so that it
  // outlives the process; fails if anything is at path.
  virtual Status name_work_file(File& work, const std::filesystem::path& path) = 0;
  // Removes the name path (not what a symbolic link there leads to), but
  // only while it names the file with this identity; otherwise does nothing.
  virtual Status remove(const std::filesystem::path& path, const FileIdentity& identity) = 0;
  // Forces the names in the directory dir to stable storage.
  virtual Status sync_directory(const std::filesystem::path& dir) = 0;
  // The names in the directory dir that start with prefix; fails when the
  // directory cannot be listed.
  virtual Status names_in(const std::filesystem::path& dir, const std::string& prefix,
                          std::vector<std::string>& names);
  // The user's own directory for what the program keeps, made (mode 0700)
  // if missing and the same whatever the environment says: /var/tmp/ostrel-UID
  // on Linux, the Temp folder of the user's local application data on
  // Windows. Empty when none can be had, or what is there is a link.
  virtual std::filesystem::path private_directory() = 0;
  virtual std::unique_ptr<InterruptHold> hold_interrupts() = 0;
};

// The error of an operation on file, with the OS's error number code.
Error error_in(const File& file, Operation operation, int code);

// The file system of the machine the program runs on.
FileSystem& os_file_system();

// Process-wide settings made once at start: the standard descriptors or
// handles that are closed are opened on the null device, so no file the
// program opens can take their place; a closed pipe or a file-size limit
// make a write fail instead of ending the process.
void prepare_process();

// Paths from and to the UTF-8 the program works in.
std::filesystem::path path_from_utf8(const std::string& text);
std::string utf8_of(const std::filesystem::path& path);

}  // namespace ostrel

// The narrow interface to the OS that the rewrite works through: files, and
// the holding of interrupts. The real implementation talks to the OS; tests
// substitute an in-memory one that can fail any chosen call.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>

#include "streams/error.h"

namespace ostrel {

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
  // Writes to `to` everything from this file's position to its end. The
  // bytes pass through buffer unless the OS can copy them by itself.
  virtual Status copy_to(File& to, std::span<char> buffer);
  virtual Status close() = 0;
};

class FileSystem {
 public:
  FileSystem() = default;
  FileSystem(const FileSystem&) = delete;
  FileSystem& operator=(const FileSystem&) = delete;
  virtual ~FileSystem() = default;

  // Opens an existing regular file for reading and writing; never creates or
  // truncates. Anything but a regular file is refused without being touched.
  virtual Status open_for_update(const std::string& name, std::unique_ptr<File>& file) = 0;
  // Opens a file for writing, emptied; creates it if it is missing.
  virtual Status open_truncated(const std::string& name, std::unique_ptr<File>& file) = 0;
  // Creates a new, private, nameless file for reading and writing that
  // disappears when closed or when the process ends.
  virtual Status create_work_file(std::unique_ptr<File>& file) = 0;
  // Gives the whole content of a work file a lasting, visible name, so that
  // it outlives the run: in the work file's directory, or failing that
  // beside the file called target_name. Sets saved_as to the name.
  virtual Status save_work_file(File& work, const std::string& target_name,
                                std::string& saved_as) = 0;

  // From hold_interrupts() to release_interrupts(), requests to stop the
  // process (Ctrl-C, termination, hang-up) wait; they take effect when
  // released. Holding twice is holding once.
  virtual void hold_interrupts() = 0;
  virtual void release_interrupts() = 0;
};

// The file system of the machine the program runs on.
FileSystem& os_file_system();

}  // namespace ostrel

// The file system on POSIX systems: plain file descriptors, binary I/O,
// every result checked, short writes and interrupted calls retried.
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "streams/file_system.h"

namespace ostrel {

std::string os_reason(int code) { return std::strerror(code); }

namespace {

std::string random_suffix() {
  static constexpr char letters[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  static std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<std::size_t> pick(0, sizeof letters - 2);
  std::string suffix(6, ' ');
  for (char& c : suffix) c = letters[pick(random)];
  return suffix;
}

std::string directory_of(const std::string& name) {
  const std::size_t slash = name.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : name.substr(0, slash);
}

std::string base_of(const std::string& name) { return name.substr(name.rfind('/') + 1); }

class PosixFile final : public File {
 public:
  PosixFile(int fd, std::string path, bool is_work_file)
      : fd_(fd), path_(std::move(path)), is_work_file_(is_work_file) {}
  PosixFile(const PosixFile&) = delete;
  PosixFile& operator=(const PosixFile&) = delete;
  ~PosixFile() override {
    if (fd_ >= 0) ::close(fd_);
  }

  Status read(std::span<char> into, std::size_t& got) override {
    got = 0;
    for (;;) {
      const ssize_t n = ::read(fd_, into.data(), into.size());
      if (n >= 0) {
        got = static_cast<std::size_t>(n);
        return {};
      }
      if (errno != EINTR) return fail(Operation::read);
    }
  }

  Status write(std::span<const char> bytes) override {
    while (!bytes.empty()) {
      const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        return fail(Operation::write);
      }
      bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return {};
  }

  Status rewind() override {
    if (::lseek(fd_, 0, SEEK_SET) < 0) return fail(Operation::rewind);
    return {};
  }

  Status copy_to(File& to, std::span<char> buffer) override {
    // Let the kernel move the bytes from file to file. copy_file_range may
    // refuse files on different file systems and sendfile may refuse others,
    // both before they copy anything, so the next way starts where the
    // refused one stood; the last way is through buffer.
    if (auto* out = dynamic_cast<PosixFile*>(&to)) {
      for (const CopyChunk copy_chunk : {copy_file_range_chunk, sendfile_chunk}) {
        bool refused = false;
        Status status = kernel_copy(*out, copy_chunk, refused);
        if (!refused) return status;
      }
    }
    return File::copy_to(to, buffer);
  }

  // Gives this nameless file the name prefix followed by six random
  // characters; sets name. Fails when the file has a name already or the
  // file system cannot link it.
  Status link_as(const std::string& prefix, std::string& name) const {
    const std::string self = "/proc/self/fd/" + std::to_string(fd_);
    for (int attempt = 0;; ++attempt) {
      name = prefix + random_suffix();
      if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        return {};
      }
      if (errno != EEXIST || attempt == 100) return fail(Operation::save);
    }
  }

  const std::string& path() const { return path_; }

  Status close() override {
    const int fd = fd_;
    fd_ = -1;
    // On Linux the descriptor is released even when close() reports EINTR,
    // so retrying could close somebody else's descriptor.
    if (::close(fd) < 0 && errno != EINTR) return fail(Operation::close);
    return {};
  }

 private:
  using CopyChunk = ssize_t (*)(int in, int out, std::size_t size);
  static ssize_t copy_file_range_chunk(int in, int out, std::size_t size) {
    return ::copy_file_range(in, nullptr, out, nullptr, size, 0);
  }
  static ssize_t sendfile_chunk(int in, int out, std::size_t size) {
    return ::sendfile(out, in, nullptr, size);
  }

  // Copies to out with copy_chunk up to the end of this file, or sets
  // refused when the kernel will not do it for these two files.
  Status kernel_copy(PosixFile& out, CopyChunk copy_chunk, bool& refused) const {
    constexpr std::size_t chunk = std::size_t{1} << 30;
    bool copied = false;
    for (;;) {
      const ssize_t n = copy_chunk(fd_, out.fd_, chunk);
      if (n == 0) return {};
      if (n > 0) {
        copied = true;
        continue;
      }
      if (errno == EINTR) continue;
      if (!copied && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP ||
                      errno == EBADF)) {
        refused = true;
        return {};
      }
      // Mostly the target refusing more bytes: a full disk, a size limit.
      return out.fail(Operation::write);
    }
  }

  Error fail(Operation operation) const { return Error{operation, path_, is_work_file_, errno}; }

  int fd_;
  std::string path_;
  bool is_work_file_;
};

// The directory for the work file: TMPDIR when set, else the system's.
std::string temp_directory() {
  const char* dir = std::getenv("TMPDIR");
  if (dir != nullptr && *dir != '\0') return dir;
  return "/tmp";
}

class PosixFileSystem final : public FileSystem {
 public:
  PosixFileSystem() {
    // A write past the file-size limit then fails with EFBIG, which the
    // rewrite handles, instead of killing the process in the middle.
    static_cast<void>(std::signal(SIGXFSZ, SIG_IGN));
  }

  Status open_for_update(const std::string& name, std::unique_ptr<File>& file) override {
    // Look before opening, so that a FIFO or device is never opened at all:
    // opening one could block or have side effects.
    struct stat info {};
    if (::stat(name.c_str(), &info) < 0) return Error{Operation::open, name, false, errno};
    if (!S_ISREG(info.st_mode)) return not_regular(name, info);
    const int fd = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return Error{Operation::open, name, false, errno};
    auto opened = std::make_unique<PosixFile>(fd, name, false);
    // The name may have been replaced between the look and the open.
    if (::fstat(fd, &info) < 0) return Error{Operation::open, name, false, errno};
    if (!S_ISREG(info.st_mode)) return not_regular(name, info);
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
      return Error{Operation::open, name, false, errno};
    }
    file = std::move(opened);
    return {};
  }

  Status open_truncated(const std::string& name, std::unique_ptr<File>& file) override {
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) return Error{Operation::reopen, name, false, errno};
    file = std::make_unique<PosixFile>(fd, name, false);
    return {};
  }

  Status create_work_file(std::unique_ptr<File>& file) override {
    const std::string dir = temp_directory();
    // A nameless file where the file system supports it: nobody else can
    // open it, and nothing is left behind even if the process is killed.
    int fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
      // Otherwise a new private file whose name is removed at once.
      std::string path = dir + "/ostrel-XXXXXX";
      fd = ::mkostemp(path.data(), O_CLOEXEC);
      if (fd >= 0 && ::unlink(path.c_str()) < 0) {
        const int code = errno;
        ::close(fd);
        return Error{Operation::create_work_file, dir, true, code};
      }
    }
    if (fd < 0) return Error{Operation::create_work_file, dir, true, errno};
    file = std::make_unique<PosixFile>(fd, dir, true);
    return {};
  }

  Status save_work_file(File& work, const std::string& target_name,
                        std::string& saved_as) override {
    auto& file = dynamic_cast<PosixFile&>(work);
    std::string name(1, '/');
    name += base_of(target_name);
    name += ".ostrel-saved-";
    // The work file itself under a name: nothing to copy, no space needed.
    Status status = file.link_as(file.path() + name, saved_as);
    // Otherwise a copy: beside the work file, or else beside the target.
    for (const std::string& dir : {file.path(), directory_of(target_name)}) {
      if (status.ok()) break;
      status = save_copy(file, dir + name + "XXXXXX", saved_as);
    }
    return status;
  }

  void hold_interrupts() override {
    if (held_) return;
    sigset_t interrupts;
    sigemptyset(&interrupts);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&interrupts, signal);
    held_ = ::sigprocmask(SIG_BLOCK, &interrupts, &mask_before_hold_) == 0;
  }

  void release_interrupts() override {
    if (!held_) return;
    held_ = false;
    // Any interrupt that came meanwhile takes effect here.
    ::sigprocmask(SIG_SETMASK, &mask_before_hold_, nullptr);
  }

 private:
  static Status save_copy(PosixFile& work, std::string path, std::string& saved_as) {
    const int fd = ::mkostemp(path.data(), O_CLOEXEC);
    if (fd < 0) return Error{Operation::save, directory_of(path), true, errno};
    PosixFile copy(fd, path, false);
    std::vector<char> buffer(std::size_t{64} * 1024);
    Status status = work.rewind();
    if (status.ok()) status = work.copy_to(copy, buffer);
    if (status.ok()) status = copy.close();
    if (!status.ok()) {
      ::unlink(path.c_str());
      return Error{Operation::save, directory_of(path), true, status.error().code};
    }
    saved_as = path;
    return {};
  }

  static Error not_regular(const std::string& name, const struct stat& info) {
    return Error{Operation::open, name, false, S_ISDIR(info.st_mode) ? EISDIR : EINVAL};
  }

  bool held_ = false;
  sigset_t mask_before_hold_{};
};

}  // namespace

FileSystem& os_file_system() {
  static PosixFileSystem file_system;
  return file_system;
}

}  // namespace ostrel

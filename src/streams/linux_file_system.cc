// The file system on Linux (O_TMPFILE, statx, copy_file_range, renameat2,
// leases): plain file descriptors, binary I/O,
// every result checked, short writes and interrupted calls retried.
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <utility>

#include "streams/file_system.h"
#include "streams/linux_stat.h"

namespace ostrel {

std::string os_reason(int code) { return std::strerror(code); }
const int kPermissionDenied = EACCES;
bool out_of_room(int code) { return code == ENOSPC || code == EDQUOT || code == EFBIG; }

std::filesystem::path path_from_utf8(const std::string& text) { return text; }
std::string utf8_of(const std::filesystem::path& path) { return path.string(); }

int (*open_call)(const char*, int, mode_t) = [](const char* path, int flags, mode_t mode) {
  return ::open(path, flags, mode);
};

namespace {

// Retries a call that a signal interrupted.
template <class Call>
auto retry(Call call) {
  auto result = call();
  while (result < 0 && errno == EINTR) result = call();
  return result;
}

// open(2), retried like every other call.
int open_retried(const std::filesystem::path& path, int flags, mode_t mode = 0) {
  return retry([&] { return ::open(path.c_str(), flags, mode); });
}

// Whether a copy in the kernel failed because the kernel cannot copy
// between these two files at all, rather than for want of space.
bool kernel_refuses(int code) {
  return code == EXDEV || code == EINVAL || code == ENOSYS || code == EOPNOTSUPP || code == EBADF;
}

// Whether the open file belongs to one of the kernel's own file systems,
// whose files are views of the kernel (settings, devices) that only say they
// are regular files: rewriting one could change the machine, not a text.
bool on_kernel_file_system(int fd) {
  // configfs's number (0x62656570) is in no header.
  static constexpr unsigned long kinds[] = {
      PROC_SUPER_MAGIC, SYSFS_MAGIC,        DEBUGFS_MAGIC,       TRACEFS_MAGIC,
      SECURITYFS_MAGIC, CGROUP_SUPER_MAGIC, CGROUP2_SUPER_MAGIC, 0x62656570,
      EFIVARFS_MAGIC,   BPF_FS_MAGIC,       PSTOREFS_MAGIC};
  struct statfs info {};
  return ::fstatfs(fd, &info) == 0 &&
         std::ranges::count(kinds, static_cast<unsigned long>(info.f_type)) != 0;
}

// Success when the calls of an operation were done, else the error errno
// names, of the operation on the file or directory at path (the work file,
// or the directory one was to be made in, when work).
Status checked(bool done, Operation op, const std::filesystem::path& path, bool work = false) {
  return done ? Status{} : Error{op, path.string(), errno, work};
}

// Refuses, as an error in opening path, anything but a regular file
// outside the kernel's own file systems: what is at path, or the open file
// fd when there is one. The error is EISDIR for a directory, EINVAL for
// anything else refused, or what the look itself failed with.
Status regular_file(const std::filesystem::path& path, int fd = -1) {
  struct stat info {};
  const bool looked = (fd < 0 ? ::stat(path.c_str(), &info) : ::fstat(fd, &info)) == 0;
  if (looked && S_ISREG(info.st_mode) && (fd < 0 || !on_kernel_file_system(fd))) return {};
  if (looked) errno = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
  return checked(false, Operation::open, path);
}

// Removes the name path, but only while it names the file with this
// identity: anyone who may write the directory may have put another file
// there.
Status remove_if_same(const std::filesystem::path& path, const FileIdentity& identity) {
  FileState named;
  const bool looked = inspect(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, named);
  if (looked && named.identity != identity) return {};
  return checked(looked && ::unlink(path.c_str()) == 0, Operation::remove, path);
}

// The extended attribute that holds a file's mark.
constexpr const char* kMark = "user.ostrel.saved";

class PosixFile final : public File {
 public:
  // path names the file in errors: its name, or a work file's directory. A
  // work file made with a name, part, loses it when closed, unless it was
  // given another.
  PosixFile(int fd, std::filesystem::path path, bool work = false, std::filesystem::path part = {})
      : fd_(fd), path_(std::move(path)), work_(work), part_(std::move(part)) {}
  ~PosixFile() override {
    if (fd_ >= 0) static_cast<void>(close());
  }

  Status read(std::span<char> into, std::size_t& got) override {
    const ssize_t n = retry([&] { return ::read(fd_, into.data(), into.size()); });
    got = n > 0 ? static_cast<std::size_t>(n) : 0;
    return checked(n >= 0, Operation::read);
  }

  Status write(std::span<const char> bytes) override {
    return checked(write_all(fd_, bytes), Operation::write);
  }

  Status rewind() override { return checked(::lseek(fd_, 0, SEEK_SET) == 0, Operation::rewind); }

  // fsync, not fdatasync: the mark is metadata.
  Status sync() override {
    return checked(retry([&] { return ::fsync(fd_); }) == 0, Operation::sync);
  }

  Status truncate() override {
    return checked(
        retry([&] { return ::ftruncate(fd_, 0); }) == 0 && ::lseek(fd_, 0, SEEK_SET) == 0,
        Operation::truncate);
  }

  Status state(FileState& state) override {
    return checked(inspect(fd_, "", 0, state), Operation::inspect);
  }

  // The lock goes with the open file when it is closed.
  Status lock(bool wait, bool& locked) override {
    locked = retry([&] { return ::flock(fd_, LOCK_EX | (wait ? 0 : LOCK_NB)); }) == 0;
    return checked(locked || (!wait && errno == EWOULDBLOCK), Operation::lock);
  }

  bool keep_openers_waiting() override {
    // A write lease: the kernel makes anyone who opens the file wait until
    // it is released (or for /proc/sys/fs/lease-break-time), and grants
    // it only while nobody else has the file open.
    return ::fcntl(fd_, F_SETLEASE, F_WRLCK) == 0;
  }

  bool openers_still_wait() override {
    // The lease stands, breaking or not, while the kernel lists it among
    // this open file's locks; it drops it once an opener has waited long
    // enough.
    std::ifstream info("/proc/self/fdinfo/" + std::to_string(fd_));
    for (std::string line; std::getline(info, line);) {
      if (line.starts_with("lock:") && line.find(" LEASE ") != std::string::npos) return true;
    }
    return false;
  }

  Status copy_to(File& to, std::span<char> buffer, std::uint64_t limit,
                 std::uint64_t& copied) override {
    // Let the kernel move the bytes from file to file, unless it refuses
    // these two (on different file systems, say) before the first byte:
    // then they go through buffer. Nothing at all at first is the end, or
    // a target that takes no more (a full tmpfs), which that copy tells apart.
    const auto out = static_cast<int>(to.native_handle());
    const std::uint64_t start = copied;
    while (out >= 0 && copied - start < limit) {
      const auto chunk = static_cast<std::size_t>(
          std::min<std::uint64_t>(limit - (copied - start), std::uint64_t{1} << 30));
      const ssize_t n =
          retry([&] { return ::copy_file_range(fd_, nullptr, out, nullptr, chunk, 0); });
      if (copied == start && (n == 0 || (n < 0 && kernel_refuses(errno)))) break;
      // Mostly the target refusing more bytes: a full disk, a size limit.
      if (n < 0) return error_in(to, Operation::write, errno);
      copied += static_cast<std::uint64_t>(n);
      // Cut short by a signal, or the end: the caller looks again first.
      if (static_cast<std::size_t>(n) < chunk) return {};
    }
    return copied != start ? Status{} : File::copy_to(to, buffer, limit, copied);
  }

  Status read_mark(std::string& mark, bool& supported) override {
    // Its size asked for first: a mark holds a path, which may be longer
    // than any buffer chosen beforehand. A mark that grew meanwhile is asked
    // for again.
    ssize_t n = 0;
    do {
      n = ::fgetxattr(fd_, kMark, nullptr, 0);
      mark.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
      if (n > 0) n = ::fgetxattr(fd_, kMark, mark.data(), mark.size());
    } while (n < 0 && errno == ERANGE);
    supported = n >= 0 || errno == ENODATA;
    // Its size again: it may have shrunk between the two calls.
    mark.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return checked(supported || errno == ENOTSUP, Operation::mark);
  }

  Status write_mark(const std::string& mark) override {
    const int done = mark.empty() ? ::fremovexattr(fd_, kMark)
                                  : ::fsetxattr(fd_, kMark, mark.data(), mark.size(), 0);
    return checked(done == 0 || (mark.empty() && errno == ENODATA), Operation::mark);
  }

  Status real_path(std::filesystem::path& path) override {
    std::error_code error;
    path = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd_), error);
    return error ? error_in(*this, Operation::inspect, error.value()) : Status{};
  }

  Status close() override {
    const int fd = std::exchange(fd_, -1);
    FileState mine;
    if (!part_.empty() && inspect(fd, "", 0, mine)) {
      static_cast<void>(remove_if_same(part_, mine.identity));
    }
    // On Linux the descriptor is released even when close() reports EINTR,
    // so retrying could close somebody else's descriptor.
    return checked(::close(fd) == 0 || errno == EINTR, Operation::close);
  }

  std::intptr_t native_handle() const override { return fd_; }
  std::string path() const override { return path_.string(); }
  bool is_work_file() const override { return work_; }

 private:
  Status checked(bool done, Operation op) const { return ostrel::checked(done, op, path_, work_); }

  int fd_;
  std::filesystem::path path_;
  bool work_;
  std::filesystem::path part_;
};

class PosixHold final : public InterruptHold {
 public:
  // Holds every signal whose action is still the default and whose default
  // is to end the process. Those the process ignores stay ignored.
  PosixHold() {
    // SIGKILL and SIGSTOP cannot be held; the others here are by default
    // ignored, or stop the process: nothing is lost by them.
    static constexpr int never_held[] = {SIGKILL,  SIGSTOP, SIGCHLD, SIGCONT, SIGURG,
                                         SIGWINCH, SIGTSTP, SIGTTIN, SIGTTOU};
    sigemptyset(&held_);
    for (int signal = 1; signal < NSIG; ++signal) {
      struct sigaction action {};
      if (std::ranges::count(never_held, signal) == 0 &&
          ::sigaction(signal, nullptr, &action) == 0 && action.sa_handler == SIG_DFL) {
        sigaddset(&held_, signal);  // fails, harmlessly, for the C library's own
      }
    }
    ::sigprocmask(SIG_BLOCK, &held_, &before_);
  }
  // Any signal that came meanwhile takes effect here.
  ~PosixHold() override { ::sigprocmask(SIG_SETMASK, &before_, nullptr); }

  // Whether a signal both held here and pending came.
  bool pending() const override {
    sigset_t pending;
    return ::sigpending(&pending) == 0 && ::sigandset(&pending, &pending, &held_) == 0 &&
           ::sigisemptyset(&pending) == 0;
  }

 private:
  sigset_t held_{};
  sigset_t before_{};
};

class PosixFileSystem final : public FileSystem {
 public:
  Status open_for_update(const std::filesystem::path& path, std::unique_ptr<File>& file,
                         bool wait) override {
    // Look before opening, so that a FIFO or device is never opened at all:
    // opening one could block or have side effects. The first open fails at
    // once when another program holds a lease on the file; when asked to
    // wait for it, a second one does, if it is still a regular file.
    int fd = -1;
    for (const int nonblock : {O_NONBLOCK, 0}) {
      if (Status status = regular_file(path); !status.ok()) return status;
      fd = open_retried(path, O_RDWR | O_NOCTTY | O_CLOEXEC | nonblock);
      if (fd >= 0 || errno != EWOULDBLOCK) break;
      if (!wait) return {};
    }
    if (fd < 0) return checked(false, Operation::open, path);
    auto opened = std::make_unique<PosixFile>(fd, path);
    // The name may have been replaced between the look and the open.
    if (Status status = regular_file(path, fd); !status.ok()) return status;
    // Of the flags given to open() above, F_SETFL changes O_NONBLOCK alone,
    // and none of the others it changes were given: setting none clears it.
    if (::fcntl(fd, F_SETFL, 0) < 0) return checked(false, Operation::open, path);
    file = std::move(opened);
    return {};
  }

  Status open_for_reading(const std::filesystem::path& path, std::unique_ptr<File>& file) override {
    const int fd = open_retried(path, O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) file = std::make_unique<PosixFile>(fd, path);
    // With O_NOFOLLOW even a dangling symbolic link fails otherwise: there
    // is nothing at all at path.
    return checked(fd >= 0 || errno == ENOENT, Operation::open, path);
  }

  Status state_of(const std::filesystem::path& path, FileState& state) override {
    struct statfs info {};
    state.survives_restart = ::statfs(path.c_str(), &info) < 0 ||
                             (info.f_type != TMPFS_MAGIC && info.f_type != RAMFS_MAGIC);
    return checked(inspect(AT_FDCWD, path.c_str(), 0, state), Operation::inspect, path);
  }

  Status create_work_file(const std::filesystem::path& part, std::unique_ptr<File>& file) override {
    // A nameless file where the file system supports it: nobody else can
    // open it, nothing is left behind even if the process is killed, and
    // it can be given a name later. Otherwise a new private file at part.
    const std::filesystem::path dir = part.parent_path();
    int fd = open_call(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    const bool named = fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL);
    if (named) fd = open_retried(part, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) file = std::make_unique<PosixFile>(fd, dir, true, named ? part : "");
    return checked(fd >= 0, Operation::create, dir, true);
  }

  Status name_work_file(File& work, const std::filesystem::path& path) override {
    const auto fd = static_cast<int>(work.native_handle());
    FileState state;
    if (!inspect(fd, "", 0, state)) return checked(false, Operation::name, path);
    if (state.links == 0) {
      // A file opened O_TMPFILE is linked from its descriptor: through
      // /proc for anyone, else directly for a user allowed to.
      const std::string self = "/proc/self/fd/" + std::to_string(fd);
      return checked(
          ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0 ||
              (errno == ENOENT && ::linkat(fd, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH) == 0),
          Operation::name, path);
    }
    // One made with a name is renamed, never over another file; where the
    // file system cannot say so, after a look (no one else may change names
    // in the directory).
    std::filesystem::path now;
    if (Status status = work.real_path(now); !status.ok()) return status;
    int done = ::renameat2(AT_FDCWD, now.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE);
    if (done < 0 && (errno == EINVAL || errno == ENOSYS)) {
      struct stat info {};
      if (::lstat(path.c_str(), &info) == 0) return Error{Operation::name, path.string(), EEXIST};
      done = ::rename(now.c_str(), path.c_str());
    }
    return checked(done == 0, Operation::name, path);
  }

  Status remove(const std::filesystem::path& path, const FileIdentity& identity) override {
    return remove_if_same(path, identity);
  }

  Status sync_directory(const std::filesystem::path& dir) override {
    const int fd = open_retried(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return fd >= 0 ? PosixFile(fd, dir).sync() : checked(false, Operation::sync, dir);
  }

  std::filesystem::path private_directory() override {
    const std::string dir = "/var/tmp/ostrel-" + std::to_string(::geteuid());
    static_cast<void>(::mkdir(dir.c_str(), 0700));
    struct stat info {};
    return ::lstat(dir.c_str(), &info) == 0 && S_ISDIR(info.st_mode) ? dir : std::string();
  }

  std::unique_ptr<InterruptHold> hold_interrupts() override {
    return std::make_unique<PosixHold>();
  }
};

}  // namespace

bool write_all(int fd, std::span<const char> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = retry([&] { return ::write(fd, bytes.data(), bytes.size()); });
    if (n < 0) return false;
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return true;
}

FileSystem& os_file_system() {
  static PosixFileSystem file_system;
  return file_system;
}

void prepare_process() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // The lowest free descriptor is this one. Failing /dev/null, a
    // directory opened for reading, which no write can go to.
    if (::open("/dev/null", O_RDWR) < 0) static_cast<void>(::open("/", O_RDONLY | O_DIRECTORY));
  }
  // A reader that goes away must not end the process in the middle of a
  // rewrite: the failed write is reported as EPIPE instead. A write past the
  // file-size limit likewise fails with EFBIG, which the rewrite handles.
  // Another program opening the file while it is written back is announced
  // by SIGIO, whose default would end the process; it only has to wait.
  for (const int ignored : {SIGPIPE, SIGXFSZ, SIGIO})
    static_cast<void>(std::signal(ignored, SIG_IGN));
}

}  // namespace ostrel

#include "app/test_process.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "streams/checksum.h"

namespace ostrel {

namespace fs = std::filesystem;

Child::Child(const std::string& exe, const std::vector<std::string>& args,
             const std::string& tmpdir, const RunOptions& options) {
  int pipe_fds[2];
  int err_fds[2];
  if (::pipe(pipe_fds) != 0 || ::pipe(err_fds) != 0) return;
  pid_ = ::fork();
  if (pid_ == 0) {
    // A process group of its own: what is sent to the test's group (as the
    // SIGHUP the kernel sends a group that is left orphaned with a stopped
    // member) does not reach a run that the test holds stopped.
    ::setpgid(0, 0);
    ::dup2(pipe_fds[1], STDOUT_FILENO);
    ::dup2(err_fds[1], STDERR_FILENO);
    for (const int fd : {pipe_fds[0], pipe_fds[1], err_fds[0], err_fds[1]}) ::close(fd);
    if (!options.output_file.empty()) {
      const int fd = ::open(options.output_file.c_str(), O_WRONLY);
      if (fd < 0 || ::dup2(fd, STDOUT_FILENO) < 0) ::_exit(126);
      ::close(fd);
    }
    if (options.close_standard) {
      for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) ::close(fd);
    }
    if (options.uid && (::setgid(*options.uid) != 0 || ::setuid(*options.uid) != 0)) ::_exit(126);
    if (options.file_size) {
      const rlimit limit{*options.file_size, *options.file_size};
      if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(126);
    }
    ::setenv("TMPDIR", tmpdir.c_str(), 1);
    std::vector<char*> argv{const_cast<char*>(exe.c_str())};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    ::alarm(60);  // a run that hangs fails instead of stalling the suite
    ::execv(exe.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(pipe_fds[1]);
  ::close(err_fds[1]);
  out_fd_ = pipe_fds[0];
  err_fd_ = err_fds[0];
  if (options.close_output) {
    ::close(out_fd_);
    out_fd_ = -1;
  }
}

Child::~Child() {
  if (out_fd_ >= 0) ::close(out_fd_);
  if (err_fd_ >= 0) ::close(err_fd_);
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

bool Child::wait_for_output(const std::string& text) {
  char buffer[4096];
  while (out_.find(text) == std::string::npos) {
    const ssize_t n = out_fd_ < 0 ? 0 : ::read(out_fd_, buffer, sizeof buffer);
    if (n <= 0) return false;
    out_.append(buffer, static_cast<std::size_t>(n));
  }
  return true;
}

namespace {

// The field after "pos:" in a descriptor's fdinfo, or -1.
long long position_of(pid_t pid, const fs::path& file) {
  const fs::path fds = "/proc/" + std::to_string(pid) + "/fd";
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(fds, error)) {
    if (fs::read_symlink(entry.path(), error) != file) continue;
    std::ifstream info("/proc/" + std::to_string(pid) + "/fdinfo/" +
                       entry.path().filename().string());
    std::string key;
    long long position = -1;
    info >> key >> position;
    return position;
  }
  return -1;
}

// The state letter in /proc/PID/stat; 'Z' once the run has ended (and
// also when it is gone).
char state_of(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string pid_text;
  std::string name;
  std::string state = "Z";
  stat >> pid_text >> name >> state;
  return state[0];
}

std::string read_to_end(int fd) {
  std::string text;
  char buffer[4096];
  for (ssize_t n; fd >= 0 && (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return text;
}

}  // namespace

bool Child::stop_when(const std::function<bool()>& reached) const {
  if (pid_ <= 0) return false;  // never started: kill(-1) would stop every process
  for (;;) {
    ::kill(pid_, SIGSTOP);
    char state;
    while ((state = state_of(pid_)) != 'T' && state != 't' && state != 'Z') {
      std::this_thread::yield();
    }
    if (state == 'Z') return false;
    if (reached()) return true;
    ::kill(pid_, SIGCONT);
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
}

bool Child::stop_while_reading(const fs::path& file) const {
  const std::uintmax_t size = fs::file_size(file);
  const fs::path canonical = fs::canonical(file);
  // Not yet emptied: the write-back moves the position through the file too.
  return stop_when([&] {
    const long long position = position_of(pid_, canonical);
    std::error_code error;
    return position > 0 && static_cast<std::uintmax_t>(position) < size &&
           fs::file_size(file, error) == size;
  });
}

bool Child::stop_while_writing_back(const fs::path& file, std::uintmax_t new_size) const {
  const std::uintmax_t size = fs::file_size(file);
  return stop_when([&] {
    const std::uintmax_t now = fs::file_size(file);
    return now != size && now < new_size;
  });
}

RunResult Child::finish() {
  RunResult result;
  result.out = out_ + read_to_end(out_fd_);
  result.err = read_to_end(err_fd_);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
  if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
    result.status = 128 + result.signal;
  } else {
    result.status = WEXITSTATUS(status);
  }
  return result;
}

namespace {

// The checksum of text, in hex.
std::string hex_sum(const std::string& text) {
  Checksum sum;
  sum.add(text);
  std::ostringstream hex;
  hex << std::hex << sum.value();
  return hex.str();
}

void add_named(const fs::path& dir, const std::string& key, std::vector<fs::path>& found) {
  const std::string prefix = "ostrel-saved-" + key + ".";
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(dir, error)) {
    if (entry.path().filename().string().starts_with(prefix)) found.push_back(entry.path());
  }
}

}  // namespace

fs::path private_directory() { return "/var/tmp/ostrel-" + std::to_string(::geteuid()); }

std::string saved_text_name(const std::string& key, const std::string& text) {
  return "ostrel-saved-" + hex_sum(key) + "." + std::to_string(text.size()) + "." + hex_sum(text);
}

std::vector<fs::path> saved_texts_of(const fs::path& file) {
  std::vector<fs::path> found;
  std::error_code error;
  const fs::path real = fs::canonical(file, error);
  if (error) return found;
  add_named(real.parent_path(), hex_sum(real.filename().string()), found);
  add_named(private_directory(), hex_sum(real.string()), found);
  return found;
}

std::string mark_of(const fs::path& file) {
  char mark[4096];
  const ssize_t size = ::getxattr(file.c_str(), "user.ostrel.saved", mark, sizeof mark);
  return size > 0 ? std::string(mark, static_cast<std::size_t>(size)) : std::string();
}

void Executable::SetUp() {
  char pattern[] = "/tmp/ostrel-test-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  dir_ = pattern;
  tmp_ = dir_ / "tmp";
  fs::create_directory(tmp_);
  // Open to every user, as the system's temporary directory is: sticky, so
  // that none can rename another's files. No new text is kept in it, as
  // others may add names there: those of its files go to the private
  // directory.
  fs::permissions(dir_, fs::perms::all | fs::perms::sticky_bit);
  fs::permissions(tmp_, fs::perms::all | fs::perms::sticky_bit);
  exe_ = dir_ / "ostrel";
  fs::copy_file(OSTREL_EXE, exe_);
}

void Executable::TearDown() {
  // TMPDIR is no place of the program's.
  EXPECT_TRUE(fs::is_empty(tmp_));
  std::error_code error;
  for (auto at = fs::recursive_directory_iterator(
           dir_, fs::directory_options::skip_permission_denied, error);
       !error && at != fs::recursive_directory_iterator(); at.increment(error)) {
    if (!at->is_regular_file() || at->is_symlink()) continue;
    for (const fs::path& saved : saved_texts_of(at->path())) {
      ADD_FAILURE() << "left behind: " << saved;
      fs::remove(saved);
    }
  }
  fs::remove_all(dir_);
}

fs::path Executable::killed_in_write_back(const fs::path& file, const std::string& original,
                                          std::uintmax_t new_size, std::uintmax_t at_least) const {
  // The write-back takes a few milliseconds, which a loaded machine may let
  // a run finish before it is stopped.
  for (int attempt = 0; attempt < 5; ++attempt) {
    write_file(file, original);
    Child run(exe_, {file.string()}, tmp_);
    if (!run.stop_when([&] {
          const std::uintmax_t now = fs::file_size(file);
          return now >= at_least && now < new_size && now != original.size();
        })) {
      run.finish();
      continue;
    }
    ::kill(run.pid(), SIGKILL);
    run.finish();
    // The mark names the text, then, after a zero byte, the file it was
    // made on.
    const std::string mark = mark_of(file);
    return mark.substr(0, mark.find('\0'));
  }
  return {};
}

RunResult Executable::run_exe(const std::vector<std::string>& args, const std::string& tmpdir,
                              const RunOptions& options) const {
  return Child(exe_, args, tmpdir, options).finish();
}

}  // namespace ostrel

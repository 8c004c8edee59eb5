#include "app/test_process.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

namespace ostrel {

namespace fs = std::filesystem;

Child::Child(const std::string& exe, const std::vector<std::string>& args,
             const std::string& tmpdir, const RunOptions& options) {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) return;
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(pipe_fds[1], STDOUT_FILENO);
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
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
  out_fd_ = pipe_fds[0];
  if (options.close_output) {
    ::close(out_fd_);
    out_fd_ = -1;
  }
}

Child::~Child() {
  if (out_fd_ >= 0) ::close(out_fd_);
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

void Child::read_to_end() {
  char buffer[4096];
  for (ssize_t n; out_fd_ >= 0 && (n = ::read(out_fd_, buffer, sizeof buffer)) > 0;) {
    out_.append(buffer, static_cast<std::size_t>(n));
  }
}

RunResult Child::finish() {
  read_to_end();
  RunResult result;
  result.out = out_;
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

void Executable::SetUp() {
  char pattern[] = "/tmp/ostrel-test-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  dir_ = pattern;
  tmp_ = dir_ / "tmp";
  fs::create_directory(tmp_);
  fs::permissions(dir_, fs::perms::all);
  fs::permissions(tmp_, fs::perms::all);
  exe_ = dir_ / "ostrel";
  fs::copy_file(OSTREL_EXE, exe_);
}

void Executable::TearDown() {
  // Nothing may be left behind in the temporary directory.
  EXPECT_TRUE(fs::is_empty(tmp_));
  fs::remove_all(dir_);
}

RunResult Executable::run_exe(const std::vector<std::string>& args, const std::string& tmpdir,
                              const RunOptions& options) const {
  return Child(exe_, args, tmpdir, options).finish();
}

}  // namespace ostrel

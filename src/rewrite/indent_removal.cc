#include "rewrite/indent_removal.h"

#include <charconv>
#include <memory>
#include <optional>

#include "rewrite/strip_pass.h"

namespace ostrel {

namespace {

namespace fs = std::filesystem;

// Read-ahead and write-behind buffers: large enough that system calls cost
// little per byte, small enough that memory use stays flat.
constexpr std::size_t STREAM_BUFFER_SIZE = std::size_t{128} * 1024;

std::string hex(std::uint64_t value) {
  char text[16];
  const auto end = std::to_chars(text, text + sizeof text, value, 16).ptr;
  return {text, end};
}

// A status whose error concerns the file that was read from, or the one
// written to, as the failed operation says.
Status by_direction(Status status, Role reader, Role writer) {
  if (status.ok()) return status;
  return std::move(status).as(status.error().operation == Operation::read ? reader : writer);
}

// Reads until into is full or the file ends.
Status read_full(File& file, std::span<char> into, std::size_t& got) {
  got = 0;
  while (got < into.size()) {
    std::size_t n = 0;
    if (Status status = file.read(into.subspan(got), n); !status.ok()) return status;
    if (n == 0) break;
    got += n;
  }
  return {};
}

// Reads a from its position to its end, and as many bytes of b; is_prefix
// tells whether they were the same bytes, and compared how many there were.
// b is then positioned just past them.
Status compare_prefix(File& a, Role a_role, File& b, Role b_role, std::span<char> a_buffer,
                      std::span<char> b_buffer, bool& is_prefix, std::uint64_t& compared) {
  is_prefix = false;
  compared = 0;
  for (;;) {
    std::size_t got = 0;
    if (Status status = read_full(a, a_buffer, got); !status.ok())
      return std::move(status).as(a_role);
    if (got == 0) break;
    std::size_t matched = 0;
    if (Status status = read_full(b, b_buffer.first(got), matched); !status.ok()) {
      return std::move(status).as(b_role);
    }
    if (matched != got || !std::equal(a_buffer.begin(), a_buffer.begin() + static_cast<long>(got),
                                      b_buffer.begin())) {
      return {};
    }
    compared += got;
  }
  is_prefix = true;
  return {};
}

bool same_content_and_times(const FileState& a, const FileState& b) {
  return a.identity == b.identity && a.size == b.size && a.modified == b.modified &&
         a.changed == b.changed;
}

// Why a file found where an earlier run's new text would be cannot be
// trusted to be that text, if it cannot: anyone could have put it there.
std::optional<Distrust> distrust(const FileState& state, const FileIdentity& target) {
  if (state.identity == target) return Distrust::the_target;
  if (!state.regular) return Distrust::not_regular;
  if (!state.owned_by_user) return Distrust::foreign;
  if (state.writable_by_others) return Distrust::writable_by_others;
  if (state.links != 1) return Distrust::other_names;
  return std::nullopt;
}

class Rewrite {
 public:
  Rewrite(FileSystem& file_system, const std::string& name, const RewriteEvents& events)
      : fs_(file_system), path_(path_from_utf8(name)), events_(events) {}

  RewriteResult run() {
    RewriteResult result = rewrite();
    // Closed before the outcome is told, so that what is told is final.
    if (saved_copy_ != nullptr) static_cast<void>(saved_copy_->close());
    if (work_ != nullptr) {
      // Every byte of the work file has been read back or saved by now, so a
      // failure to close it can cost nothing.
      static_cast<void>(work_->close());
    }
    lock_.reset();
    if (events_.report) events_.report(result);
    return result;
  }

 private:
  RewriteResult rewrite() {
    if (Status status = fs_.open_for_update(path_, target_); !status.ok()) {
      return failed(RewriteOutcome::open_failed, std::move(status).as(Role::target));
    }
    if (Status status = lock_target(); !status.ok()) return unchanged(status);
    FileState before;
    if (Status status = target_->state(before); !status.ok()) return unchanged(status);
    if (Status status = fs_.create_work_file(work_); !status.ok()) {
      return unchanged(std::move(status).as(Role::work_file));
    }
    const std::string saved_name = saved_text_name(before.identity);
    places_.push_back(work_->directory() / saved_name);
    fs::path beside = path_.parent_path();
    if (beside.empty()) beside = ".";
    if (beside / saved_name != places_.front()) places_.push_back(beside / saved_name);

    memory_[0] = std::make_unique_for_overwrite<char[]>(STREAM_BUFFER_SIZE);
    memory_[1] = std::make_unique_for_overwrite<char[]>(STREAM_BUFFER_SIZE);
    input_ = {memory_[0].get(), STREAM_BUFFER_SIZE};
    output_ = {memory_[1].get(), STREAM_BUFFER_SIZE};

    // A run killed while it wrote the file back left the whole new text
    // under a lasting name: finish its work first, or leave all alone.
    std::optional<fs::path> earlier = find_saved_text(before.identity);
    if (earlier) {
      bool finished = false;
      bool appending = false;
      if (Status status = finish_earlier(*earlier, finished, appending); !status.ok()) {
        if (!appending) return unchanged(status);
        RewriteResult result = failed(RewriteOutcome::failed_after_emptying, status);
        result.saved_as = utf8_of(*earlier);
        return result;
      }
      if (finished) {
        earlier.reset();
        if (Status status = target_->state(before); !status.ok()) {
          return unchanged(std::move(status).as(Role::target));
        }
      }
      if (Status status = target_->rewind(); !status.ok()) {
        return unchanged(std::move(status).as(Role::target));
      }
    }

    bool changed = false;
    if (Status status = strip_file(*target_, *work_, input_, output_, changed); !status.ok()) {
      return unchanged(by_direction(std::move(status), Role::target, Role::work_file));
    }

    if (earlier) {
      // The earlier run was killed before it emptied the file: its text is
      // what this run made again, or the file has changed since. (A file
      // that needs no change and is not that text has changed since.)
      bool same = false;
      if (Status status = changed ? same_text(*earlier, same) : Status{}; !status.ok()) {
        return unchanged(status);
      }
      if (!same) {
        RewriteResult result;
        result.outcome = RewriteOutcome::saved_differs;
        result.saved_as = utf8_of(*earlier);
        return result;
      }
    }

    // A file that needs no change is left as it is, times and all.
    if (!changed) {
      if (events_.copying_back) events_.copying_back();
      return {};
    }

    // From here until the outcome is told, a request to end the process
    // waits: it must neither leave the lasting name behind nor cut the
    // write-back short.
    hold_ = fs_.hold_interrupts();
    RewriteResult result;
    if (!give_lasting_name(result.save_errors)) {
      result.outcome = RewriteOutcome::not_saved;
      return result;
    }
    if (RewriteOutcome outcome = RewriteOutcome::done;
        !still_as_read(before, outcome, result.error)) {
      drop_lasting_name();
      result.outcome = outcome;
      return result;
    }
    if (hold_->pending()) {
      drop_lasting_name();
      result.outcome = RewriteOutcome::interrupted;
      return result;
    }

    if (events_.copying_back) events_.copying_back();
    // From here on the target holds only what has been copied back so far;
    // the whole new text is under its lasting name until it is all back.
    Status status = target_->truncate().as(Role::target);
    if (status.ok()) status = work_->rewind().as(Role::work_file);
    if (status.ok()) {
      status = by_direction(work_->copy_to(*target_, input_), Role::work_file, Role::target);
    }
    if (status.ok()) status = target_->close().as(Role::target);
    if (!status.ok()) {
      result = failed(RewriteOutcome::failed_after_emptying, status);
      result.saved_as = utf8_of(lasting_);
      return result;
    }
    // Done. The lasting name goes while the lock is still held, so that no
    // other run can take it for the text of a killed one. Should it stay,
    // the next run finds it equal to the file and removes it.
    drop_lasting_name();
    return {};
  }

  static RewriteResult failed(RewriteOutcome outcome, const Status& status) {
    RewriteResult result;
    result.outcome = outcome;
    if (!status.ok()) result.error = status.error();
    return result;
  }
  static RewriteResult unchanged(const Status& status) {
    return failed(RewriteOutcome::failed_unchanged, status);
  }

  Status lock_target() {
    if (Status status = target_->lock(false, lock_); !status.ok())
      return std::move(status).as(Role::target);
    if (lock_ != nullptr) return {};
    if (events_.waiting) events_.waiting();
    return target_->lock(true, lock_).as(Role::target);
  }

  // The first trusted file at one of the places, telling of every other
  // one found there.
  std::optional<fs::path> find_saved_text(const FileIdentity& target) {
    for (const fs::path& place : places_) {
      std::unique_ptr<File> file;
      FileState state;
      Status status = fs_.open_for_reading(place, file);
      if (status.ok() && file == nullptr) continue;
      if (status.ok()) status = file->state(state);
      if (status.ok()) status = file->close();
      if (!status.ok()) {
        tell_ignored(place, Distrust::unreadable, std::move(status).as(Role::saved).error());
        continue;
      }
      if (const auto why = distrust(state, target)) {
        tell_ignored(place, *why, {});
        continue;
      }
      return place;
    }
    return std::nullopt;
  }

  void tell_ignored(const fs::path& place, Distrust why, const Error& error) {
    if (events_.ignored) events_.ignored(utf8_of(place), why, error);
  }

  // When the target is the start of the earlier run's text, writes the rest
  // of that text after it and removes the saved file: the earlier run's
  // write-back is done. Otherwise changes nothing. A failure while writing
  // sets appending: the target then holds part of the new text.
  Status finish_earlier(const fs::path& earlier, bool& finished, bool& appending) {
    finished = false;
    appending = false;
    std::unique_ptr<File> saved;
    Status status = fs_.open_for_reading(earlier, saved).as(Role::saved);
    if (status.ok() && saved == nullptr) return {};  // gone meanwhile
    FileState saved_state;
    if (status.ok()) status = saved->state(saved_state).as(Role::saved);
    bool is_prefix = false;
    std::uint64_t compared = 0;
    if (status.ok()) {
      status = compare_prefix(*target_, Role::target, *saved, Role::saved, input_, output_,
                              is_prefix, compared);
    }
    if (!status.ok() || !is_prefix) return status;
    if (compared < saved_state.size) {
      // The target is positioned at its end, the saved text just past what
      // the target holds of it.
      appending = true;
      status = by_direction(saved->copy_to(*target_, input_), Role::saved, Role::target);
      if (!status.ok()) return status;
      appending = false;
      if (events_.resumed) events_.resumed(utf8_of(earlier));
    }
    status = saved->close().as(Role::saved);
    if (status.ok()) status = fs_.remove(earlier).as(Role::saved);
    finished = status.ok();
    return status;
  }

  // Whether the work file holds exactly the text saved at earlier; a text
  // that has gone meanwhile counts as the same, and stays gone.
  Status same_text(const fs::path& earlier, bool& same) {
    same = false;
    std::unique_ptr<File> saved;
    Status status = fs_.open_for_reading(earlier, saved).as(Role::saved);
    if (status.ok() && saved == nullptr) {
      same = true;
      return {};
    }
    FileState saved_state;
    if (status.ok()) status = saved->state(saved_state).as(Role::saved);
    if (status.ok()) status = work_->rewind().as(Role::work_file);
    bool is_prefix = false;
    std::uint64_t compared = 0;
    if (status.ok()) {
      status = compare_prefix(*work_, Role::work_file, *saved, Role::saved, input_, output_,
                              is_prefix, compared);
    }
    if (status.ok()) status = saved->close().as(Role::saved);
    if (!status.ok() || !is_prefix || compared != saved_state.size) return status;
    same = true;
    return fs_.remove(earlier).as(Role::saved);
  }

  // Gives the whole new text a name that outlives the process: the work
  // file itself named in its directory where it can be, else a copy there,
  // else a copy beside the target. On failure, says why for every place.
  bool give_lasting_name(std::vector<Error>& errors) {
    for (const fs::path& place : places_) {
      if (place == places_.front() && work_->name_as(place).ok()) {
        lasting_ = place;
        named_work_ = true;
        return true;
      }
      Status status = save_copy(place);
      if (status.ok()) {
        lasting_ = place;
        return true;
      }
      errors.push_back(std::move(status).as(Role::saved).error());
    }
    return false;
  }

  Status save_copy(const fs::path& place) {
    if (Status status = fs_.create_new(place, saved_copy_); !status.ok()) return status;
    Status status = work_->rewind().as(Role::work_file);
    if (status.ok())
      status = by_direction(work_->copy_to(*saved_copy_, input_), Role::work_file, Role::saved);
    if (status.ok()) status = saved_copy_->close();
    saved_copy_.reset();
    if (!status.ok()) static_cast<void>(fs_.remove(place));
    return status;
  }

  void drop_lasting_name() {
    if (lasting_.empty()) return;
    if (named_work_) {
      static_cast<void>(work_->unname());
    } else {
      static_cast<void>(fs_.remove(lasting_));
    }
    lasting_.clear();
    named_work_ = false;
  }

  // Whether the target is still what was read: the same size and times,
  // and still the file its name leads to. Sets outcome and error if not.
  bool still_as_read(const FileState& before, RewriteOutcome& outcome, Error& error) {
    FileState now;
    if (Status status = target_->state(now); !status.ok()) {
      outcome = RewriteOutcome::failed_unchanged;
      error = std::move(status).as(Role::target).error();
      return false;
    }
    FileIdentity named;
    if (!same_content_and_times(before, now) || !fs_.identity_of(path_, named).ok() ||
        named != before.identity) {
      outcome = RewriteOutcome::changed;
      return false;
    }
    return true;
  }

  FileSystem& fs_;
  fs::path path_;
  const RewriteEvents& events_;
  std::unique_ptr<InterruptHold> hold_;  // declared first of the resources: released last
  std::unique_ptr<File> target_;
  std::unique_ptr<FileLock> lock_;
  std::unique_ptr<WorkFile> work_;
  std::unique_ptr<File> saved_copy_;
  std::unique_ptr<char[]> memory_[2];
  std::span<char> input_;
  std::span<char> output_;
  std::vector<fs::path> places_;  // where the lasting name may go, in order
  fs::path lasting_;              // the lasting name, once given
  bool named_work_ = false;
};

}  // namespace

std::string saved_text_name(const FileIdentity& identity) {
  std::string name = "ostrel-saved-" + hex(identity.device) + "-";
  if (identity.file_high != 0) name += hex(identity.file_high) + "_";
  return name + hex(identity.file);
}

RewriteResult run_indent_removal(FileSystem& file_system, const std::string& name,
                                 const RewriteEvents& events) {
  return Rewrite(file_system, name, events).run();
}

}  // namespace ostrel

#include "rewrite/indent_removal.h"

#include <algorithm>
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

// A text found where an earlier run would have kept its new text, open:
// what was checked is what is read and compared.
struct Earlier {
  fs::path path;
  std::unique_ptr<File> file;
  FileState state;
};

class Rewrite {
 public:
  Rewrite(FileSystem& file_system, const std::string& name, const RewriteEvents& events)
      : fs_(file_system), path_(path_from_utf8(name)), events_(events) {}

  RewriteResult run() {
    RewriteResult result = rewrite();
    // Closed before the outcome is told, so that what is told is final.
    if (earlier_.file != nullptr) static_cast<void>(earlier_.file->close());
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
      return failed(RewriteOutcome::open_failed, status);
    }
    if (Status status = lock_target(); !status.ok()) return unchanged(status);
    FileState before;
    if (Status status = target_->state(before); !status.ok()) return unchanged(status);
    if (Status status = fs_.create_work_file(work_); !status.ok()) {
      return unchanged(std::move(status).as(Role::work_file));
    }
    find_places(before.identity);

    memory_[0] = std::make_unique_for_overwrite<char[]>(STREAM_BUFFER_SIZE);
    memory_[1] = std::make_unique_for_overwrite<char[]>(STREAM_BUFFER_SIZE);
    input_ = {memory_[0].get(), STREAM_BUFFER_SIZE};
    output_ = {memory_[1].get(), STREAM_BUFFER_SIZE};

    // A run killed while it wrote the file back left the whole new text
    // under a lasting name: finish its work first, or leave all alone.
    if (find_saved_text(before.identity)) {
      // An emptied file looks like a new, empty one; where the file system
      // may give a new file the numbers of a deleted one, the saved text
      // may be the deleted file's.
      if (before.size == 0 && earlier_.state.size > 0 && !before.identity_never_reused) {
        return about_earlier(RewriteOutcome::saved_unsure);
      }
      bool appending = false;
      if (Status status = finish_earlier(appending); !status.ok()) {
        if (!appending) return unchanged(status);
        return about_earlier(RewriteOutcome::failed_after_emptying, status);
      }
      if (earlier_.file == nullptr) {
        if (Status status = target_->state(before); !status.ok()) {
          return unchanged(status);
        }
      }
      if (Status status = target_->rewind(); !status.ok()) {
        return unchanged(status);
      }
    }

    StripOutcome stripped;
    if (Status status = strip_file(*target_, *work_, input_, output_, stripped); !status.ok()) {
      return unchanged(by_direction(std::move(status), Role::target, Role::work_file));
    }
    // More or fewer bytes than the file holds: it changed while it was read,
    // or it is no plain file on disk whatever it says (a file of /proc).
    if (stripped.bytes_read != before.size) return outcome(RewriteOutcome::changed);

    if (earlier_.file != nullptr) {
      // The earlier run was killed before it emptied the file: its text is
      // what this run made again, or the file has changed since. (A file
      // that needs no change and is not that text has changed since.)
      bool same = false;
      if (Status status = stripped.changed ? same_text(same) : Status{}; !status.ok()) {
        return unchanged(status);
      }
      if (!same) return about_earlier(RewriteOutcome::saved_differs);
    }

    // A file that needs no change is left as it is, times and all.
    if (!stripped.changed) {
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
    // Where the OS can, a program that opens the file from here on waits
    // until the write-back is over (or for a while); one that has it open
    // already is caught by the check that follows, if it wrote meanwhile.
    static_cast<void>(target_->keep_openers_waiting());
    // Told before the last check, not between it and the emptying: telling
    // may take any time (a terminal stopped with Ctrl-S, a full pipe), and
    // whatever another program writes meanwhile must be seen, not emptied.
    if (events_.copying_back) events_.copying_back();
    if (RewriteOutcome why = RewriteOutcome::done; !still_as_read(before, why, result.error)) {
      drop_lasting_name();
      result.outcome = why;
      return result;
    }
    if (hold_->pending()) {
      drop_lasting_name();
      return outcome(RewriteOutcome::interrupted);
    }

    // From here on the target holds only what has been copied back so far;
    // the whole new text is under its lasting name until it is all back.
    if (Status status = target_->truncate(); !status.ok()) {
      // Refused outright, the file is as it was: nothing to keep.
      FileState now;
      if (target_->state(now).ok() && same_content_and_times(before, now)) {
        drop_lasting_name();
        return unchanged(status);
      }
      return after_emptying(status);
    }
    Status status = work_->rewind().as(Role::work_file);
    if (status.ok()) {
      status = by_direction(work_->copy_to(*target_, input_), Role::work_file, Role::target);
    }
    if (status.ok()) status = target_->close();
    if (!status.ok()) return after_emptying(status);
    // Done. The lasting name goes while the lock is still held, so that no
    // other run can take it for the text of a killed one. Should it stay,
    // the next run finds it equal to the file and removes it.
    drop_lasting_name();
    return {};
  }

  static RewriteResult outcome(RewriteOutcome outcome) {
    RewriteResult result;
    result.outcome = outcome;
    return result;
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
  // An outcome that names the earlier run's text.
  RewriteResult about_earlier(RewriteOutcome outcome, const Status& status = {}) const {
    RewriteResult result = failed(outcome, status);
    result.saved_as = utf8_of(earlier_.path);
    return result;
  }
  RewriteResult after_emptying(const Status& status) const {
    RewriteResult result = failed(RewriteOutcome::failed_after_emptying, status);
    result.saved_as = utf8_of(lasting_);
    return result;
  }

  Status lock_target() {
    if (Status status = target_->lock(false, lock_); !status.ok()) {
      return status;
    }
    if (lock_ != nullptr) return {};
    if (events_.waiting) events_.waiting();
    return target_->lock(true, lock_);
  }

  // Where the new text of the file with this identity is kept: in the work
  // file's directory, else beside the file. An earlier run may also have
  // kept it in the system's usual temporary directory, if it ran with
  // another one set.
  void find_places(const FileIdentity& identity) {
    const std::string name = saved_text_name(identity);
    fs::path beside = path_.parent_path();
    if (beside.empty()) beside = ".";
    for (const fs::path& dir : {work_->directory(), beside, fs_.system_temp_directory()}) {
      if (dir.empty()) continue;
      if (std::find(places_.begin(), places_.end(), dir / name) == places_.end()) {
        places_.push_back(dir / name);
      }
    }
  }

  // Sets earlier_ to the first trusted text at one of the places, telling of
  // every other file found there. Removes what an earlier run left of a
  // copy it never finished.
  bool find_saved_text(const FileIdentity& target) {
    for (const fs::path& place : places_) {
      remove_unfinished_copy(place, target);
      Earlier found{place, nullptr, {}};
      Status status = fs_.open_for_reading(place, found.file);
      if (status.ok() && found.file == nullptr) continue;
      if (status.ok()) status = found.file->state(found.state);
      if (!status.ok()) {
        tell_ignored(place, Distrust::unreadable, std::move(status).as(Role::saved).error());
        continue;
      }
      Error error;
      if (const auto why = distrust_at(place, found.state, target, error)) {
        tell_ignored(place, *why, error);
        continue;
      }
      earlier_ = std::move(found);
      return true;
    }
    return false;
  }

  void remove_unfinished_copy(const fs::path& place, const FileIdentity& target) {
    std::unique_ptr<File> part;
    FileState state;
    Error error;
    if (fs_.open_for_reading(partial(place), part).ok() && part != nullptr &&
        part->state(state).ok() && !distrust_at(partial(place), state, target, error)) {
      static_cast<void>(part->close());
      static_cast<void>(fs_.remove(partial(place), state.identity));
    }
  }

  // Why the file at place, in this state, may not be a text this user saved,
  // if it may not: the file itself, or its directory, where someone else
  // could have given one of the user's files that name.
  std::optional<Distrust> distrust_at(const fs::path& place, const FileState& state,
                                      const FileIdentity& target, Error& error) {
    if (const auto why = distrust(state, target)) return why;
    FileState directory;
    if (Status status = fs_.state_of(place.parent_path(), directory); !status.ok()) {
      error = std::move(status).as(Role::saved).error();
      return Distrust::unreadable;
    }
    if (directory.others_can_rename_in) return Distrust::open_directory;
    return std::nullopt;
  }

  // The name a copy has until it is complete.
  static fs::path partial(const fs::path& place) {
    fs::path name = place;
    name += ".part";
    return name;
  }

  void tell_ignored(const fs::path& place, Distrust why, const Error& error) {
    if (events_.ignored) events_.ignored(utf8_of(place), why, error);
  }

  // When the target is the start of the earlier run's text, writes the rest
  // of that text after it and removes the saved file: the earlier run's
  // write-back is done, and earlier_ is closed. Otherwise changes nothing.
  // A failure while writing sets appending: the target then holds part of
  // the new text.
  Status finish_earlier(bool& appending) {
    appending = false;
    File& saved = *earlier_.file;
    bool is_prefix = false;
    std::uint64_t compared = 0;
    if (Status status = compare_prefix(*target_, Role::target, saved, Role::saved, input_, output_,
                                       is_prefix, compared);
        !status.ok() || !is_prefix) {
      return status;
    }
    if (compared < earlier_.state.size) {
      // The target is positioned at its end, the saved text just past what
      // the target holds of it.
      appending = true;
      Status status = by_direction(saved.copy_to(*target_, input_), Role::saved, Role::target);
      if (!status.ok()) return status;
      appending = false;
      if (events_.resumed) events_.resumed(utf8_of(earlier_.path));
      // The write-back is complete: should the saved text fail to go now,
      // the next run finds it equal to the file and removes it.
      static_cast<void>(drop_earlier());
      earlier_ = {};
      return {};
    }
    return drop_earlier();
  }

  // Closes the earlier run's text and removes it: its work is done.
  Status drop_earlier() {
    Status status = earlier_.file->close().as(Role::saved);
    if (status.ok()) status = fs_.remove(earlier_.path, earlier_.state.identity).as(Role::saved);
    if (status.ok()) earlier_ = {};
    return status;
  }

  // Whether the work file holds exactly the earlier run's text; if so,
  // removes it.
  Status same_text(bool& same) {
    same = false;
    File& saved = *earlier_.file;
    Status status = saved.rewind().as(Role::saved);
    if (status.ok()) status = work_->rewind().as(Role::work_file);
    bool is_prefix = false;
    std::uint64_t compared = 0;
    if (status.ok()) {
      status = compare_prefix(*work_, Role::work_file, saved, Role::saved, input_, output_,
                              is_prefix, compared);
    }
    if (!status.ok() || !is_prefix || compared != earlier_.state.size) return status;
    same = true;
    return drop_earlier();
  }

  // Gives the whole new text a name that outlives the process: the work
  // file itself named in its directory where it can be, else a complete
  // copy there, else one at the second place (beside the target, or the
  // system's temporary directory when that is where the work file is). On
  // failure, says why for every place.
  bool give_lasting_name(std::vector<Error>& errors) {
    for (std::size_t i = 0; i < std::min<std::size_t>(places_.size(), 2); ++i) {
      const fs::path& place = places_[i];
      if (i == 0 && work_->name_as(place).ok()) {
        lasting_ = place;
        named_work_ = true;
        return true;
      }
      Status status = save_copy(place);
      if (status.ok()) {
        lasting_ = place;
        return true;
      }
      Error error = std::move(status).as(Role::saved).error();
      error.path = utf8_of(place);
      errors.push_back(error);
    }
    return false;
  }

  // A copy is written under another name and named place only once it is
  // complete, so that a run killed meanwhile leaves no part of it there.
  Status save_copy(const fs::path& place) {
    std::unique_ptr<File> copy;
    if (Status status = fs_.create_new(partial(place), copy); !status.ok()) return status;
    FileState state;
    Status status = copy->state(state);
    // Failing that, what the new name leads to is the copy just made.
    if (!status.ok()) static_cast<void>(fs_.identity_of(partial(place), state.identity));
    if (status.ok()) status = work_->rewind().as(Role::work_file);
    if (status.ok()) {
      status = by_direction(work_->copy_to(*copy, input_), Role::work_file, Role::saved);
    }
    if (status.ok()) status = copy->close();
    if (status.ok()) status = fs_.rename_new(partial(place), place);
    if (!status.ok()) {
      static_cast<void>(fs_.remove(partial(place), state.identity));
      return status;
    }
    copy_identity_ = state.identity;
    return {};
  }

  void drop_lasting_name() {
    if (lasting_.empty()) return;
    if (named_work_) {
      static_cast<void>(work_->unname());
    } else {
      static_cast<void>(fs_.remove(lasting_, copy_identity_));
    }
    lasting_.clear();
    named_work_ = false;
  }

  // Whether the target is still what was read: the same size and times,
  // and still the file its name leads to. Sets why and error if not.
  bool still_as_read(const FileState& before, RewriteOutcome& why, Error& error) {
    FileState now;
    if (Status status = target_->state(now); !status.ok()) {
      why = RewriteOutcome::failed_unchanged;
      error = status.error();
      return false;
    }
    FileIdentity named;
    if (!same_content_and_times(before, now) || !fs_.identity_of(path_, named).ok() ||
        named != before.identity) {
      why = RewriteOutcome::changed;
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
  Earlier earlier_;
  std::unique_ptr<char[]> memory_[2];
  std::span<char> input_;
  std::span<char> output_;
  std::vector<fs::path> places_;  // where a saved text may be; the first two take one
  fs::path lasting_;              // the lasting name, once given
  bool named_work_ = false;
  FileIdentity copy_identity_;  // the lasting name's file, when it is a copy
};

}  // namespace

std::string saved_text_name(const FileIdentity& identity) {
  std::string name = "ostrel-saved-";
  name += hex(identity.device);
  name += '-';
  name += hex(identity.file);
  // The birth time tells the file from a later one with the same numbers.
  if (identity.born != 0) {
    name += '-';
    name += hex(static_cast<std::uint64_t>(identity.born));
  }
  return name;
}

RewriteResult run_indent_removal(FileSystem& file_system, const std::string& name,
                                 const RewriteEvents& events) {
  return Rewrite(file_system, name, events).run();
}

}  // namespace ostrel

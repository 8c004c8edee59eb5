// The in-place rewrite of one file, and every rule that keeps its text safe:
// one open file from start to end, locked against other runs and, where the
// OS can, kept from other programs; a strip pass into a work file; a lasting
// name for the new text, and a mark on the file itself that leads to it,
// both on stable storage before the file is emptied; a check that the file
// is still the one that was read; the copy-back through the same open file,
// on stable storage before the name and the mark go; and the finishing, the
// same way, of a write-back that an earlier run left undone.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "streams/error.h"
#include "streams/file_system.h"

namespace ostrel {

enum class RewriteOutcome {
  done,
  open_failed,            // the target could not be opened; nothing happened
  failed_unchanged,       // a later failure; the target is as it was
  not_saved,              // the new text could not be given a lasting name; the target is as it was
  changed_meanwhile,      // another program changed or replaced the target; left so
  saved_differs,          // an earlier run's whole text is at saved_as, and the target neither
                          // holds its start nor is what it was made from; left as it was
  saved_unsure,           // a whole text is at saved_as for a file at this place, and the file,
                          // empty and unmarked, may be that file or a new one; left as it was
  saved_unused,           // an earlier run's text should be at saved_as, but cannot be used
  interrupted,            // a request to end the process came before the target was emptied
  failed_after_emptying,  // the target holds part of its new text; the whole is in saved_as
  others_let_in,          // the OS let another program in during the write-back; as above
};

// Why a file found where an earlier run's new text would be was not used.
enum class Distrust {
  unreadable,          // it could not be opened or inspected: see error
  not_regular,         // a directory, FIFO, device or symbolic link
  foreign,             // owned by another user
  writable_by_others,  // someone else could have written it
  other_names,         // it has other names, so it may be somebody else's file
  the_target,          // it is the file being rewritten
  shared_directory,    // others may create or rename files in its directory
  another_files,       // it was saved for another file: this one came from a copy of it
  unmarked,            // found by the file's mark alone, it does not carry that mark itself
  missing,             // it is not there, nor where it would be kept now
  altered,             // its length or checksum is not the one in its name
};

struct RewriteResult {
  RewriteOutcome outcome = RewriteOutcome::done;
  Error error;  // what failed, for the outcomes that are failures (not_saved: naming the text)
  // failed_after_emptying and others_let_in: where the complete new text
  // is; saved_differs and saved_unused: where the earlier run's text is.
  std::string saved_as;
  Distrust distrust{};  // saved_unused: why that text was not used
  // saved_differs: the file keeps no mark, and the text was found by its
  // name, so it may be that of a file that stood at its place before.
  bool maybe_deleted_files = false;
};

// What the run tells as it goes, before its outcome.
enum class Notice {
  waiting,                     // another program holds the file; the run waits for it
  kept_where_restart_empties,  // the new text is kept at path, and no place that outlives a
                               // restart would take it
  resumed,                     // the write-back an earlier run left undone was finished from path
  copying_back,                // the whole new text is safe; the file is about to be emptied
};

// told may be left empty.
struct RewriteEvents {
  std::function<void(Notice, const std::string& path)> told;
  // The outcome, reported while interrupts still wait, so that none can
  // cut the report of where the text is short.
  std::function<void(const RewriteResult&)> report;
};

// Rewrites the file called name (UTF-8) so that no line starts with a space
// and every line ends with CR LF, and reports the outcome through events.
void run_indent_removal(FileSystem& file_system, const std::string& name,
                        const RewriteEvents& events);

}  // namespace ostrel

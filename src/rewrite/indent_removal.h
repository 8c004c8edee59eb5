// The in-place rewrite: a strip pass from the target into a work file, then
// a copy-back pass from the work file over the emptied target.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "streams/error.h"
#include "streams/file_system.h"

namespace ostrel {

enum class RewriteOutcome {
  done,
  open_failed,            // the target could not be opened; nothing happened
  failed_unchanged,       // a later failure; the target is as it was
  failed_after_emptying,  // the target was emptied and not fully written back
};

struct RewriteResult {
  RewriteOutcome outcome = RewriteOutcome::done;
  Error error;  // what failed, unless done
  // After emptying: where the complete new text was saved, or why it could
  // not be.
  std::string saved_as;
  std::optional<Error> save_error;
};

// Rewrites the file called name so that no line starts with a space and every
// line ends with CR LF. copying_back is called once the whole stripped text
// is safely in the work file, just before the target is emptied.
//
// Interrupts are held from just before the target is emptied, and are left
// held: the caller releases them once it has reported the outcome, so that
// an interrupt can neither cut the copy-back short nor hide where a rescued
// text was saved.
RewriteResult run_indent_removal(FileSystem& file_system, const std::string& name,
                                 const std::function<void()>& copying_back);

}  // namespace ostrel

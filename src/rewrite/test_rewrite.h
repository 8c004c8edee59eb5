// For tests: a run of the rewrite that returns the outcome it reported.
#pragma once

#include <string>

#include "rewrite/indent_removal.h"

namespace ostrel {

inline RewriteResult reported_run(FileSystem& fs, const std::string& name,
                                  RewriteEvents events = {}) {
  RewriteResult reported;
  events.report = [&, also = events.report](const RewriteResult& result) {
    reported = result;
    if (also) also(result);
  };
  run_indent_removal(fs, name, events);
  return reported;
}

}  // namespace ostrel

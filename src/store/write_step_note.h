// Library-internal: the step of a change to the store during which the
// failure being reported stopped (kel::last_write_step).
//
// The site where a step fails notes it once, after the failure's text and
// cause are recorded: recording a cause (io::record_error, fail()) clears
// the step, so that a step never outlives its failure and lends its words
// to a later one.
#pragma once

#include <string>

#include "kel/diagnostics.h"

namespace kel::detail {

// Notes `step` of the file `path` as where the failure being reported
// stopped. Returns -1, the result of a failed call, so that a site may
// return it.
int note_write_step(WriteStep step, const std::string& path) noexcept;
// Back to no step: a new call begins, or a failure outside the steps.
void clear_write_step() noexcept;

// The noted step and its file, taken out (leaving no step) to be put back
// by restore_write_step() across a failure that is ignored on purpose.
struct NotedStep {
  WriteStep step = WriteStep::none;
  std::string path;
};
NotedStep take_write_step() noexcept;
void restore_write_step(NotedStep noted) noexcept;

}  // namespace kel::detail

// The step of a change to the store during which a failure stopped, one
// record per thread beside the failure's code and cause.
#include <utility>

#include "kel/diagnostics.h"
#include "store/write_step_note.h"

namespace kel {

namespace {
thread_local detail::NotedStep noted;
}  // namespace

int last_write_step(WriteStep& step, std::string& path) {
  if (noted.step == WriteStep::none) return -1;
  step = noted.step;
  path = noted.path;
  return 0;
}

namespace detail {

int note_write_step(WriteStep step, const std::string& path) noexcept {
  noted.step = step;
  try {
    noted.path = path;
  } catch (...) {
    noted.path.clear();  // out of memory: the step still holds
  }
  return -1;
}

void clear_write_step() noexcept {
  noted.step = WriteStep::none;
  noted.path.clear();
}

NotedStep take_write_step() noexcept {
  NotedStep taken = std::move(noted);
  clear_write_step();
  return taken;
}

void restore_write_step(NotedStep kept) noexcept { noted = std::move(kept); }

}  // namespace detail

}  // namespace kel

// The batch mode of `kel-safe shell`: standard input is not a terminal, so
// commands come one a line with no prompts, and each result goes to
// standard output framed so that a program can read it:
//
//   status N\n      the exit status the one-shot program would have given
//   length L\n      then exactly L bytes: what it wrote on standard output
//   notes M\n       then exactly M bytes: its lines for standard error
//
// Blank lines and lines that start with '#' are skipped and get no frame.
// A value for add travels in the input: a line "value L" and exactly L
// bytes after its line end give the next command's add its value (a file
// is given with add --file as usual). "exit", "quit" or the end of input
// end the batch.
#include <optional>

#include "framing.h"
#include "session.h"
#include "status.h"
#include "streams.h"
#include "words.h"

namespace kel::tool {

namespace {

bool skipped(std::string_view line) {
  const std::size_t first = line.find_first_not_of(" \t");
  return first == std::string_view::npos || line[first] == '#';
}

}  // namespace

int run_batch(Session& session) {
  Input input(0);
  Capture capture;
  std::optional<Secret> value;  // the next add's, from a value block
  try {
    while (std::optional<Secret> line = input.line()) {
      if (skipped(line->view())) continue;
      if (const auto length = value_header(line->view())) {
        value = input.block(*length);
        continue;
      }
      std::string notes;
      int status = kOk;
      {
        OutputRedirect redirect(capture.fd(), &notes);
        try {
          const std::vector<std::string> words = split_words(line->view());
          if (is_exit(words)) break;
          status = session.run(words, [&value](const std::string& name) {
            if (!value) {
              throw Failure(
                  kUsage,
                  "add " + tool::quoted(name) +
                      ": no value: give --file PATH, or a line \"value L\" "
                      "and L bytes before the add");
            }
            Secret taken = std::move(*value);
            value.reset();
            return taken;
          });
        } catch (const Failure& failure) {
          note(failure.what());
          status = failure.status();
        }
      }
      // A value is for the command right after it, used or not.
      value.reset();
      write_frame(1, status, capture.take().view(), notes);
    }
  } catch (const Failure& failure) {
    note(failure.what());
    return failure.status();
  }
  return kOk;
}

}  // namespace kel::tool

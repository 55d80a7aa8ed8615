#include "value_line.h"

#include <optional>

#include "entry_selection.h"
#include "output_file.h"
#include "status.h"
#include "streams.h"

namespace kel::tool {

std::optional<std::string_view> value_line(std::string_view value, std::size_t number,
                                           std::size_t& lines) {
  lines = 0;
  for (std::size_t start = 0; start < value.size();) {
    std::size_t end = value.find('\n', start);
    const std::size_t next = end == std::string_view::npos ? value.size() : end + 1;
    if (end == std::string_view::npos) end = value.size();
    if (++lines == number) {
      std::string_view line = value.substr(start, end - start);
      if (end < value.size() && !line.empty() && line.back() == '\r') line.remove_suffix(1);
      return line;
    }
    start = next;
  }
  return std::nullopt;
}

void no_such_line(const std::string& what, const std::string& name, std::size_t number,
                  std::size_t lines) {
  throw Failure(kRejected, what + ": the value of " + quoted(name) + " has " +
                               std::to_string(lines) + (lines == 1 ? " line" : " lines") +
                               ", so it has no line " + std::to_string(number));
}

std::string_view value_or_line(std::string_view value, std::size_t number,
                               const std::string& what, const std::string& name) {
  if (number == 0) return value;
  std::size_t lines = 0;
  const std::optional<std::string_view> chosen = value_line(value, number, lines);
  if (!chosen) no_such_line(what, name, number, lines);
  return *chosen;
}

int cmd_get_line(const Context& context, const std::string& name, std::size_t number,
                 const std::string& output, bool force) {
  require_store(context);
  const std::string what = "get " + quoted(name);
  const std::string path = store_file(context.store);
  // A file that may not be replaced is said before the password is asked.
  std::optional<OutputFile> file;
  if (!output.empty() && output != "-") file.emplace(output, force, store_and_backups(path));
  SafeHandle safe = open_safe(context, what);
  // The whole value authenticates before any line of it is written.
  const std::vector<kel::Entry> entries = read_entries(*safe, {name}, what, path);
  std::size_t lines = 0;
  const auto line = value_line(entries.front().value(), number, lines);
  if (!line) no_such_line(what, name, number, lines);
  if (!file) {
    write_data(*line);
    return kOk;
  }
  write_all(file->fd(), *line, quoted(output));
  if (!file->direct()) file->commit();
  return kOk;
}

}  // namespace kel::tool

// get with several names: one process, one password, one pass over the
// store; the output is structured (a JSON object or dotenv lines), since
// raw bytes make sense only for one value.
#include <memory>

#include "commands.h"
#include "entry_selection.h"
#include "status.h"
#include "streams.h"
#include "value_formats.h"

namespace kel::tool {

int cmd_get_values(const Context& context, const std::vector<std::string>& given,
                   const std::vector<std::string>& renames, bool json) {
  // The names asked for, each with the variable it becomes under --env.
  std::vector<std::string> names;
  std::vector<std::string> variables;
  // An --as renames a NAME given as it is; a second --as of the same name
  // is one more variable, not a change of the first one's name.
  std::vector<bool> renamed;
  for (const std::string& name : given) {
    names.push_back(name);
    variables.push_back(name);
    renamed.push_back(false);
  }
  for (const std::string& pair : renames) {
    const std::size_t equals = pair.find('=');
    if (equals == std::string::npos || equals == 0 || equals + 1 == pair.size()) {
      throw Failure(kUsage, "get: --as takes VAR=NAME, not " + tool::quoted(pair));
    }
    const std::string name = pair.substr(equals + 1);
    bool found = false;
    for (std::size_t i = 0; i < names.size() && !found; ++i) {
      if (names[i] == name && !renamed[i]) {
        variables[i] = pair.substr(0, equals);
        renamed[i] = found = true;
      }
    }
    if (!found) {
      names.push_back(name);
      variables.push_back(pair.substr(0, equals));
      renamed.push_back(true);
    }
  }
  if (names.empty()) throw Failure(kUsage, "get: no NAME given");
  if (!json) {
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (!valid_variable_name(variables[i])) {
        throw Failure(kRejected, "get: " + tool::quoted(variables[i]) +
                                     " is not a variable name (--as VAR=" + names[i] +
                                     " gives it one)");
      }
    }
  }
  SafeHandle safe = open_checked(context, "get");
  const std::vector<kel::Entry> entries =
      read_entries(*safe, names, "get", store_file(context.store));
  Secret out;
  if (json) {
    std::vector<NamedValue> values;
    for (std::size_t i = 0; i < names.size(); ++i) values.emplace_back(names[i], entries[i].value());
    write_json(values, out);
  } else {
    for (std::size_t i = 0; i < names.size(); ++i) {
      write_env_line(variables[i], entries[i].value(), out);
    }
  }
  write_data(out.view());
  return kOk;
}

}  // namespace kel::tool

#include "usage.h"

#include <algorithm>
#include <cctype>
#include <utility>

namespace kel::tool {

namespace {

// Words people reach for from other tools, and the subcommand that does it.
// Only subcommands that exist are ever suggested.
const std::pair<const char*, const char*> kSynonyms[] = {
    {"list", "ls"},       {"dir", "ls"},         {"show", "get"},
    {"cat", "get"},       {"read", "get"},       {"print", "get"},
    {"export", "get"},    {"put", "add"},        {"set", "add"},
    {"insert", "add"},    {"import", "add"},     {"store", "add"},
    {"remove", "rm"},     {"delete", "rm"},      {"del", "rm"},
    {"new", "create"},    {"init", "create"},    {"has", "exists"},
    {"contains", "exists"}, {"password", "passwd"}, {"chpass", "passwd"},
    {"move", "mv"},       {"rename", "mv"},      {"copy", "cp"},
    {"fsck", "check"},    {"scan", "check"},     {"fix", "repair"},
    {"recover", "repair"},
    {"search", "find"},   {"totp", "otp"},
};

// Words of other tools that name no kel-safe command, and what kel-safe
// offers instead; a word here is never corrected to a subcommand that only
// looks like it ("git" is not a typo of "get").
struct Pointer {
  const char* word;
  const char* target;  // the subcommand that must exist for the advice
  const char* advice;  // what follows "unknown subcommand 'WORD' "
};
const Pointer kPointers[] = {
    {"grep", "find", "(kel-safe find PATTERN lists the names that contain PATTERN)"},
};

// Typing distance: inserting, deleting or swapping two neighbouring
// characters costs one, replacing one costs two. A swap or a letter too many
// or too few is a typo; a different letter in a short word ("git", "get")
// is as likely another word.
std::size_t edit_distance(std::string_view a, std::string_view b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1,
                                          std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 2;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

std::vector<const CLI::App*> subcommands(const CLI::App& app) {
  return app.get_subcommands([](const CLI::App*) { return true; });
}

std::vector<std::string> subcommand_names(const CLI::App& app) {
  std::vector<std::string> names;
  for (const CLI::App* sub : subcommands(app)) names.push_back(sub->get_name());
  return names;
}

std::string join(const std::vector<std::string>& words) {
  std::string out;
  for (const std::string& word : words) {
    if (!out.empty()) out += ", ";
    out += word;
  }
  return out;
}

// The option of `app` itself called `flag` ("--name" or "-n"), if any.
const CLI::Option* find_option(const CLI::App& app, std::string_view flag) {
  for (const CLI::Option* option : app.get_options()) {
    if (option->get_positional()) continue;
    for (const std::string& name : option->get_lnames()) {
      if (flag == "--" + name) return option;
    }
    for (const std::string& name : option->get_snames()) {
      if (flag == "-" + name) return option;
    }
  }
  return nullptr;
}

std::vector<std::string> option_names(const CLI::App& app) {
  std::vector<std::string> names;
  for (const CLI::Option* option : app.get_options()) {
    for (const std::string& name : option->get_lnames()) names.push_back("--" + name);
    for (const std::string& name : option->get_snames()) names.push_back("-" + name);
  }
  return names;
}


// The way to give `sub` a name that starts with '-', told where a word the
// parser took for an option may have been meant as a name.
std::string dash_hint(const CLI::App& sub) {
  return " (an entry name that starts with '-' goes after '--', e.g. kel-safe " +
         sub.get_name() + " -- -name)";
}

// Walks the command line the way the parser does and reports the first word
// that cannot be right; "" when every word is a known one in its place.
std::string find_mistake(const CLI::App& app, const std::vector<std::string>& args) {
  const CLI::App* sub = nullptr;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& word = args[i];
    if (word == "--") {
      if (sub == nullptr && i + 1 < args.size()) {
        // `kel-safe -- x`: still no subcommand.
        const std::string& next = args[i + 1];
        return "'" + next + "' after '--' is not a subcommand: write the subcommand first";
      }
      return "";
    }
    if (word.size() > 1 && word[0] == '-') {
      const bool is_long = word[1] == '-';
      const std::string flag = is_long ? word.substr(0, word.find('=')) : word.substr(0, 2);
      const CLI::Option* option = find_option(app, flag);
      if (option == nullptr && sub != nullptr) option = find_option(*sub, flag);
      if (option != nullptr) {
        const bool attached = is_long ? word.find('=') != std::string::npos : word.size() > 2;
        if (option->get_items_expected_max() > 0 && !attached) ++i;  // its value
        continue;
      }
      // An option of another subcommand, given before (or without) it.
      std::vector<std::string> owners;
      for (const CLI::App* other : subcommands(app)) {
        if (other != sub && find_option(*other, flag) != nullptr) {
          owners.push_back("'" + other->get_name() + "'");
        }
      }
      if (!owners.empty()) {
        std::string owner_list = owners.front();
        for (std::size_t k = 1; k < owners.size(); ++k) {
          owner_list += (k + 1 == owners.size() ? " and " : ", ") + owners[k];
        }
        if (sub == nullptr) {
          // The example is the subcommand the line names later, if it is one.
          std::string example = owners.front().substr(1, owners.front().size() - 2);
          for (std::size_t j = i + 1; j < args.size(); ++j) {
            if (std::find(owners.begin(), owners.end(), "'" + args[j] + "'") != owners.end()) {
              example = args[j];
              break;
            }
          }
          return flag + " is an option of " + owner_list +
                 ": write it after the subcommand (kel-safe " + example + " ... " + flag + ")";
        }
        return flag + " is an option of " + owner_list + ", not of '" + sub->get_name() +
               "' (kel-safe " + sub->get_name() + " --help lists its options)";
      }
      std::vector<std::string> choices = option_names(app);
      if (sub != nullptr) {
        for (std::string& name : option_names(*sub)) choices.push_back(std::move(name));
      }
      // One letter is too little to guess from: a short option gets the list.
      const std::string near = is_long ? nearest(flag, choices) : std::string();
      std::string text = "unknown option " + flag;
      if (sub != nullptr) text += " for '" + sub->get_name() + "'";
      if (!near.empty()) {
        text += " (did you mean " + near + "?)";
      } else {
        text += sub != nullptr ? " (kel-safe " + sub->get_name() + " --help lists its options)"
                               : std::string(" (kel-safe --help lists the options)");
      }
      // A near option explains the word; otherwise it may be a name.
      if (near.empty() && sub != nullptr && takes_name(*sub)) text += dash_hint(*sub);
      return text;
    }
    if (sub == nullptr) {
      for (const CLI::App* candidate : subcommands(app)) {
        if (candidate->get_name() == word) sub = candidate;
      }
      if (sub != nullptr) continue;
      const std::vector<std::string> names = subcommand_names(app);
      for (const Pointer& pointer : kPointers) {
        if (word == pointer.word &&
            std::find(names.begin(), names.end(), pointer.target) != names.end()) {
          return "unknown subcommand '" + word + "' " + pointer.advice;
        }
      }
      const std::string near = nearest(word, names);
      return "unknown subcommand '" + word + "' " +
             (near.empty() ? "(the subcommands are: " + join(subcommand_names(app)) + ")"
                           : "(did you mean '" + near + "'?)");
    }
  }
  return "";
}

}  // namespace

bool takes_name(const CLI::App& sub) {
  for (const CLI::Option* option : sub.get_options()) {
    if (!option->get_positional()) continue;
    const std::string& name = option->get_name();
    if (name == "NAME" || name == "OLD" || name == "NEW" || name == "PREFIX") return true;
  }
  return false;
}

std::string nearest(std::string_view word, const std::vector<std::string>& choices) {
  std::string lower(word);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  for (const auto& [synonym, target] : kSynonyms) {
    if (lower == synonym &&
        std::find(choices.begin(), choices.end(), target) != choices.end()) {
      return target;
    }
  }
  std::string best;
  std::size_t best_distance = 0;
  for (const std::string& choice : choices) {
    const std::size_t distance = edit_distance(lower, choice);
    if (best.empty() || distance < best_distance) {
      best = choice;
      best_distance = distance;
    }
  }
  // Beyond this distance the suggestion is a guess, not a correction: one
  // typo in a word of up to five letters, one more for each three more.
  const std::size_t allowed = std::max<std::size_t>(1, word.size() / 3);
  return best_distance <= allowed ? best : std::string();
}

std::string usage_message(const CLI::App& app, const CLI::ParseError& error,
                          const std::vector<std::string>& args) {
  const std::string mistake = find_mistake(app, args);
  if (!mistake.empty()) return mistake;
  // Every word was a known one: the parser's own complaint, placed.
  const CLI::App* sub = nullptr;
  for (const std::string& word : args) {
    if (word == "--") break;
    for (const CLI::App* candidate : subcommands(app)) {
      if (sub == nullptr && candidate->get_name() == word) sub = candidate;
    }
  }
  std::string text = error.what();
  if (sub == nullptr && text == "A subcommand is required") {
    return "a subcommand is required: " + join(subcommand_names(app)) +
           " (kel-safe --help tells more)";
  }
  if (sub == nullptr) return text;
  // Missing or surplus words belong to the subcommand's own usage.
  // (The parser names some errors after the subcommand, not their class.)
  if (dynamic_cast<const CLI::RequiredError*>(&error) != nullptr) {
    text = sub->get_name() + ": " + text;
    if (takes_name(*sub)) text += dash_hint(*sub);
  } else if (dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr) {
    text = sub->get_name() + ": " + text + " (kel-safe " + sub->get_name() +
           " --help shows its usage)";
  }
  return text;
}

CLI::Validator descriptor_number() {
  return CLI::Validator(
      [](std::string& value) -> std::string {
        const bool digits = !value.empty() && value.size() <= 9 &&
                            std::all_of(value.begin(), value.end(), [](unsigned char c) {
                              return std::isdigit(c) != 0;
                            });
        if (digits) return "";
        return "'" + value + "' is not a descriptor number; give a whole number such "
               "as 3 (with 3<FILE on the shell's command line)";
      },
      // No description: help shows the option's type name (N) alone.
      "");
}

}  // namespace kel::tool

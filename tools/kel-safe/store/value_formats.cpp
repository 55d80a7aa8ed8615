#include "value_formats.h"

#include <openssl/evp.h>

#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>

#include "commands.h"
#include "status.h"

namespace kel::tool {

namespace {

using SecretString = std::basic_string<char, std::char_traits<char>, WipingAllocator<char>>;
// A JSON document whose strings, objects and arrays all live in wiped memory.
using SecretJson = nlohmann::basic_json<std::map, std::vector, SecretString, bool,
                                        std::int64_t, std::uint64_t, double,
                                        WipingAllocator>;

// A string of this length keeps its bytes inside the object (no allocation):
// such an object on the stack is wiped by hand.
struct SecretStringWiper {
  SecretString& text;
  ~SecretStringWiper() { wipe(text.data(), text.capacity()); }
};

// base64 through OpenSSL, in pieces that its int lengths can take.
constexpr std::size_t kBase64Piece = 3 * 1024 * 1024;

SecretString to_base64(std::string_view bytes) {
  SecretString out;
  out.resize(4 * ((bytes.size() + 2) / 3));
  std::size_t written = 0;
  for (std::size_t done = 0; done < bytes.size(); done += kBase64Piece) {
    const std::size_t piece = std::min(kBase64Piece, bytes.size() - done);
    written += static_cast<std::size_t>(EVP_EncodeBlock(
        reinterpret_cast<unsigned char*>(out.data() + written),
        reinterpret_cast<const unsigned char*>(bytes.data() + done), static_cast<int>(piece)));
  }
  out.resize(written);
  return out;
}

bool is_base64_digit(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         c == '+' || c == '/';
}

// False for anything but padded base64. OpenSSL's decoder alone would take
// blanks and a '=' inside the text, and make up bytes for them.
bool from_base64(std::string_view text, Secret& out) {
  if (text.size() % 4 != 0) return false;
  std::size_t padding = 0;
  while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') {
    ++padding;
  }
  for (std::size_t i = 0; i + padding < text.size(); ++i) {
    if (!is_base64_digit(text[i])) return false;
  }
  constexpr std::size_t kPiece = kBase64Piece / 3 * 4;
  out.reserve_more(text.size() / 4 * 3);
  for (std::size_t done = 0; done < text.size(); done += kPiece) {
    const std::size_t piece = std::min(kPiece, text.size() - done);
    char* into = out.extend(piece / 4 * 3);
    const int got = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(into),
                                    reinterpret_cast<const unsigned char*>(text.data() + done),
                                    static_cast<int>(piece));
    if (got < 0 || static_cast<std::size_t>(got) != piece / 4 * 3) {
      out.commit(0);
      return false;
    }
    // EVP_DecodeBlock counts the final padding as zero bytes.
    const bool last = done + piece == text.size();
    out.commit(static_cast<std::size_t>(got) - (last ? padding : 0));
  }
  return true;
}

}  // namespace

void NamedEntries::add(const std::string& name, Secret& value) {
  kel::Entry entry(name);
  entry.set_value(value.str());
  value.clear();
  entries.push_back(std::move(entry));
  names.push_back(name);
}

bool valid_variable_name(std::string_view name) {
  if (name.empty() || (name[0] >= '0' && name[0] <= '9')) return false;
  for (char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                    (c >= '0' && c <= '9') || c == '_';
    if (!ok) return false;
  }
  return true;
}

void write_json(const std::vector<NamedValue>& values, Secret& out) {
  SecretJson document = SecretJson::object();
  for (const auto& [name, value] : values) {
    if (!valid_utf8(name)) {
      throw Failure(kRejected, "the name " + tool::quoted(name) +
                                   " is not UTF-8 and cannot be a JSON key (use --dir)");
    }
    SecretString key(name);
    SecretStringWiper wipe_key{key};
    if (valid_utf8(value)) {
      document[key] = SecretString(value);
    } else {
      document[key] = SecretJson::object();
      document[key]["base64"] = to_base64(value);
    }
  }
  SecretString text = document.dump(2);
  SecretStringWiper wipe_text{text};
  out.append(text.data(), text.size());
  out.push_back('\n');
}

void read_json(std::string_view input, NamedEntries& out) {
  // A name given twice would keep only its last value, silently: refused,
  // as a dotenv file that sets a name twice is.
  std::set<std::string> names;
  std::optional<std::string> twice;
  const auto check_key = [&names, &twice](int depth, SecretJson::parse_event_t event,
                                          SecretJson& parsed) {
    if (event == SecretJson::parse_event_t::key && depth == 1 && !twice) {
      const SecretString& key = parsed.template get_ref<const SecretString&>();
      if (!names.emplace(key.data(), key.size()).second) twice.emplace(key.data(), key.size());
    }
    return true;
  };
  SecretJson document;
  try {
    document = SecretJson::parse(input.begin(), input.end(), check_key);
  } catch (const SecretJson::parse_error& error) {
    // The parser's own text quotes the input, which holds values.
    throw Failure(kRejected, "not valid JSON (at byte " + std::to_string(error.byte) + ")");
  }
  if (!document.is_object()) {
    throw Failure(kRejected, "the JSON is not an object of names and values");
  }
  if (twice) throw Failure(kRejected, "the name " + tool::quoted(*twice) + " is given twice");
  for (auto& [key, item] : document.items()) {
    const std::string name(key.data(), key.size());
    Secret value;
    if (item.is_string()) {
      const SecretString& text = item.template get_ref<const SecretString&>();
      value.append(text.data(), text.size());
    } else if (item.is_object() && item.size() == 1 && item.contains("base64") &&
               item["base64"].is_string()) {
      const SecretString& text = item["base64"].template get_ref<const SecretString&>();
      if (!from_base64(text, value)) {
        throw Failure(kRejected, "the base64 value of " + tool::quoted(name) + " is not valid");
      }
    } else {
      throw Failure(kRejected, "the value of " + tool::quoted(name) +
                                   " is neither a string nor {\"base64\": \"...\"}");
    }
    out.add(name, value);
  }
}

namespace {

// Why `value` cannot be written as a dotenv value that every common reader
// gets back byte for byte, or nullptr when it can. The value goes between
// single quotes, which a shell takes as they are, line ends included. What
// stays: a ' ends the quotes for a shell; a carriage return becomes a line
// end for the readers that open the file as text; python-dotenv reads a
// pair of backslashes as one, cannot find the end of a value that ends in
// one, and replaces ${NAME} by NAME's value; and the text readers decode
// UTF-8, so other bytes do not come back.
const char* not_dotenv(std::string_view value) {
  if (value.find('\0') != std::string_view::npos) {
    return "holds a zero byte, which no environment variable can hold";
  }
  if (value.find('\'') != std::string_view::npos) return "holds a single quote (')";
  if (value.find('\r') != std::string_view::npos) return "holds a carriage return";
  if (value.find("\\\\") != std::string_view::npos) return "holds two backslashes in a row";
  if (!value.empty() && value.back() == '\\') return "ends in a backslash";
  const std::size_t brace = value.find("${");
  if (brace != std::string_view::npos && value.find('}', brace) != std::string_view::npos) {
    return "holds ${...}, which dotenv readers expand";
  }
  if (!valid_utf8(value)) return "is not UTF-8";
  return nullptr;
}

// The variables a shell keeps for itself: an assignment to one is refused
// (UID, PPID), changes the value (RANDOM, SECONDS, LINENO), or stops the
// sourcing of the rest of the file (dash on OPTIND='x'). A shell sourcing
// the lines would not get such a value back.
bool shell_keeps(std::string_view name) {
  static constexpr std::string_view kKept[] = {
      "BASHOPTS", "BASHPID", "BASH_ALIASES", "BASH_ARGC", "BASH_ARGV", "BASH_ARGV0",
      "BASH_CMDS", "BASH_LINENO", "BASH_MONOSECONDS", "BASH_SOURCE", "BASH_SUBSHELL",
      "BASH_TRAPSIG", "BASH_VERSINFO", "COMP_WORDBREAKS", "DIRSTACK", "EPOCHREALTIME",
      "EPOCHSECONDS", "EUID", "FUNCNAME", "GROUPS", "HISTCMD", "LINENO", "OPTIND", "PIPESTATUS",
      "PPID", "RANDOM", "SECONDS", "SHELLOPTS", "SHLVL", "SRANDOM", "UID"};
  for (const std::string_view kept : kKept) {
    if (name == kept) return true;
  }
  return false;
}

}  // namespace

void write_env_line(std::string_view name, std::string_view value, Secret& out) {
  if (shell_keeps(name)) {
    throw Failure(kRejected, "the variable " + tool::quoted(name) +
                                 " is one a shell keeps for itself, so a shell reading the "
                                 "line would not get the value back (get --env --as VAR=NAME "
                                 "names it otherwise, or use --json)");
  }
  if (const char* why = not_dotenv(value)) {
    throw Failure(kRejected, "the value of " + tool::quoted(name) + " " + why +
                                 ", so no dotenv line keeps it as it is (use --json)");
  }
  out.reserve_more(name.size() + value.size() + 4);
  out.append(name.data(), name.size());
  out.append("='", 2);
  out.append(value.data(), value.size());
  out.append("'\n", 2);
}

void read_env(std::string_view input, NamedEntries& out) {
  std::size_t at = 0;
  std::size_t line = 1;
  const auto fail = [&line](const std::string& what) {
    throw Failure(kRejected, "line " + std::to_string(line) + ": " + what);
  };
  const auto skip_blanks = [&] {
    while (at < input.size() && (input[at] == ' ' || input[at] == '\t')) ++at;
  };
  while (at < input.size()) {
    skip_blanks();
    if (at >= input.size()) break;
    if (input[at] == '\n' || input[at] == '\r' || input[at] == '#') {
      const std::size_t end = input.find('\n', at);
      at = end == std::string_view::npos ? input.size() : end + 1;
      ++line;
      continue;
    }
    if (input.substr(at, 7) == "export ") {
      at += 7;
      skip_blanks();
    }
    std::size_t name_end = at;
    while (name_end < input.size() && input[name_end] != '=' && input[name_end] != '\n' &&
           input[name_end] != ' ' && input[name_end] != '\t') {
      ++name_end;
    }
    const std::string name(input.substr(at, name_end - at));
    // The words of a line that is no NAME=VALUE are not shown: such a line
    // is often a value's own next line (a key pasted without quotes).
    if (!valid_variable_name(name)) {
      fail("no variable name where the line begins; a line is NAME=VALUE");
    }
    at = name_end;
    skip_blanks();
    if (at >= input.size() || input[at] != '=') fail("no '=' after the name; a line is NAME=VALUE");
    ++at;
    skip_blanks();
    Secret value;
    const std::size_t first_line = line;
    if (at < input.size() && input[at] == '\'') {
      const std::size_t end = input.find('\'', at + 1);
      if (end == std::string_view::npos) fail("the value of " + tool::quoted(name) + " has no closing '");
      const std::string_view text = input.substr(at + 1, end - at - 1);
      value.append(text.data(), text.size());
      for (char c : text) line += c == '\n' ? 1 : 0;
      at = end + 1;
    } else if (at < input.size() && input[at] == '"') {
      ++at;
      for (;; ++at) {
        if (at >= input.size()) {
          line = first_line;
          fail("the value of " + tool::quoted(name) + " has no closing \"");
        }
        char c = input[at];
        if (c == '"') break;
        if (c == '\\' && at + 1 < input.size()) {
          const char next = input[++at];
          switch (next) {
            case 'n': c = '\n'; break;
            case 'r': c = '\r'; break;
            case 't': c = '\t'; break;
            case '\\': case '"': case '$': case '`': c = next; break;
            default: value.push_back('\\'); c = next;
          }
        }
        if (c == '\n') ++line;
        value.push_back(c);
      }
      ++at;
    } else {
      // Unquoted: to the end of the line or a comment, without the blanks
      // around it.
      std::size_t end = at;
      while (end < input.size() && input[end] != '\n' &&
             !(input[end] == '#' && end > at && (input[end - 1] == ' ' || input[end - 1] == '\t'))) {
        ++end;
      }
      std::size_t last = end;
      while (last > at && (input[last - 1] == ' ' || input[last - 1] == '\t' ||
                           input[last - 1] == '\r')) {
        --last;
      }
      value.append(input.data() + at, last - at);
      at = end;
    }
    // After the value: blanks, perhaps a comment, then the line's end.
    skip_blanks();
    if (at < input.size() && input[at] == '#') {
      while (at < input.size() && input[at] != '\n') ++at;
    }
    if (at < input.size() && input[at] == '\r') ++at;
    if (at < input.size() && input[at] != '\n') fail("text after the value of " + tool::quoted(name));
    if (at < input.size()) ++at;
    ++line;
    out.add(name, value);
  }
}

}  // namespace kel::tool

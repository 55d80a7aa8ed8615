// Exit statuses, help texts, and the separation of data (standard output)
// from everything else (standard error).
#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "tool/tool_fixture.h"

namespace kel::test {
namespace {

using Statuses = ToolTest;

ToolResult bare(std::vector<std::string> args) {
  ToolRun run;
  run.args = std::move(args);
  return run_tool(run);
}

TEST_F(Statuses, UsageErrors) {
  // Each mistake is named, with the nearest correct word, in one line.
  const std::string dash_hint =
      " (an entry name that starts with '-' goes after '--', e.g. kel-safe add -- -name)\n";
  const struct {
    std::vector<std::string> args;
    std::string says;
  } cases[] = {
      {{},
       "a subcommand is required: create, verify, passwd, keygen, grant, slots, revoke, add, get, "
       "edit, exists, ls, find, otp, mv, cp, rm, merge, merge-driver, version, check, repair, "
       "upgrade, export, import, generate, run, shell, agent, help (kel-safe --help tells "
       "more)\n"},
      {{"shell", "--timeout", "5x"},
       "shell --timeout: '5x' is not a duration such as 90s, 5m or 1h (at most a week)\n"},
      {{"frobnicate"}, "unknown subcommand 'frobnicate' (the subcommands are: create, "},
      {{"list"}, "unknown subcommand 'list' (did you mean 'ls'?)\n"},
      {{"show", "x"}, "unknown subcommand 'show' (did you mean 'get'?)\n"},
      {{"cat", "x"}, "unknown subcommand 'cat' (did you mean 'get'?)\n"},
      {{"chek"}, "unknown subcommand 'chek' (did you mean 'check'?)\n"},
      {{"fsck"}, "unknown subcommand 'fsck' (did you mean 'check'?)\n"},
      {{"repiar"}, "unknown subcommand 'repiar' (did you mean 'repair'?)\n"},
      {{"rename", "a", "b"}, "unknown subcommand 'rename' (did you mean 'mv'?)\n"},
      {{"copy", "a", "b"}, "unknown subcommand 'copy' (did you mean 'cp'?)\n"},
      {{"-s", store, "gte", "x"}, "unknown subcommand 'gte' (did you mean 'get'?)\n"},
      // Words of other tools are no typos of a subcommand that looks alike.
      {{"clip", "x"}, "unknown subcommand 'clip' (the subcommands are: create, "},
      {{"grep", "x"},
       "unknown subcommand 'grep' (kel-safe find PATTERN lists the names that contain "
       "PATTERN)\n"},
      {{"git", "log"}, "unknown subcommand 'git' (the subcommands are: create, "},
      {{"gwt", "x"}, "unknown subcommand 'gwt' (the subcommands are: create, "},
      {{"search", "x"}, "unknown subcommand 'search' (did you mean 'find'?)\n"},
      {{"totp", "x"}, "unknown subcommand 'totp' (did you mean 'otp'?)\n"},
      {{"-s", store, "get", "k", "--line", "0"}, "get --line: lines count from 1, not 0\n"},
      {{"-s", store, "get", "k", "--line", "-2"}, "get --line: lines count from 1, not -2\n"},
      {{"-s", store, "get", "k", "--line", "1", "--json"}, "--json excludes --line\n"},
      {{"-s", store, "otp", "k", "--at", "-5"},
       "otp --at: UNIX_TIME is seconds since 1970, not -5\n"},
      {{"-s", store, "find", ""}, "find: the PATTERN is empty (kel-safe ls lists every name)\n"},
      {{"-s", store, "revoke", "", "-y"},
       "revoke: SLOT is empty: give the slot's number or its label (kel-safe slots lists them)\n"},
      {{"crate"}, "unknown subcommand 'crate' (did you mean 'create'?)\n"},
      {{"bog\xc2\x9bus"}, "unknown subcommand 'bog\\xc2\\x9bus' (the subcommands are: "},
      {{"help", "gte"}, "unknown subcommand 'gte' (did you mean 'get'?)\n"},
      // The table's own listing for the tests is hidden: it is offered
      // nowhere, and with any other word it is no subcommand at all.
      {{"__command"}, "unknown subcommand '__command' (the subcommands are: create, "},
      {{"-s", store, "__commands"}, "unknown subcommand '__commands' (the subcommands are: "},
      {{"help", "__commands"}, "unknown subcommand '__commands' (the subcommands are: "},
      {{"help", "get", "ls"}, "help: The following argument was not expected: ls"},
      {{"--no-such-option", "ls"}, "unknown option --no-such-option (kel-safe --help lists the options)\n"},
      {{"--pasword-file", "pw", "ls"},
       "unknown option --pasword-file (did you mean --password-file?)\n"},
      {{"ls", "--jsno"}, "unknown option --jsno for 'ls' (did you mean --json?)\n"},
      {{"ls", "-x"}, "unknown option -x for 'ls' (kel-safe ls --help lists its options) (an "
                     "entry name that starts with '-' goes after '--', e.g. kel-safe ls -- -name)\n"},
      {{"check", "-x"}, "unknown option -x for 'check' (kel-safe check --help lists its options)\n"},
      {{"add", "-x"}, "unknown option -x for 'add' (kel-safe add --help lists its options)" + dash_hint},
      {{"--output", "out", "get", "k"},
       "--output is an option of 'keygen' and 'get': write it after the subcommand (kel-safe "
       "get ... --output)\n"},
      {{"get", "k", "--drop-backup"},
       "--drop-backup is an option of 'passwd', 'revoke', 'add', 'edit', 'mv', 'cp', 'rm', "
       "'merge', "
       "'upgrade', 'import' and 'generate', not of 'get'"},
      {{"-s", store, "add", "x", "--drop-backup"},
       "add: --drop-backup goes with --replace or --replace-or-add; a plain add appends and "
       "keeps no backup\n"},
      {{"--password-fd", "abc", "ls"},
       "--password-fd: 'abc' is not a descriptor number; give a whole number such as 3"},
      {{"-s", store, "--password-fd", "-1", "ls"}, "--password-fd: '-1' is not a descriptor"},
      {{"-s", store, "get"}, "get: give one NAME, or several with --json or --env\n"},
      {{"-s", store, "ls", "--json", "-0"}, "--json excludes --null\n"},
      {{"-s", store, "get", "--", "-x", "--output"},
       "get: give one NAME, or several with --json or --env\n"},
      {{"-s", store, "run", "--env", "A=b", "sh", "-c", "x"},
       "unknown option -c for 'run' (kel-safe run --help lists its options)"},
      // No HOME (run_tool leaves it out): no default store either.
      {{"get", "k"},
       "no store given: use -s PATH or set KEL_SAFE_STORE (the default store needs HOME or "
       "XDG_DATA_HOME set to an absolute path)\n"},
      {{"-s", store, "get", "k", "--clear-after", "5s"}, "--clear-after requires --clip\n"},
      {{"-s", store, "get", "k", "--clip", "-o", "x"}, "--output excludes --clip\n"},
      {{"-s", store, "get", "k", "--qr", "--clip"}, "--clip excludes --qr\n"},
      {{"-s", store, "get", "k", "--clip", "--clear-after", "soon"},
       "get --clear-after: 'soon' is not a duration such as 90s, 5m or 1h (at most a week)\n"},
      {{"-s", store, "create", "--format", "1", "--kdf-memory", "64"},
       "create: --kdf-time, --kdf-memory and --kdf-passes are for format 2; format 1 has no "
       "key derivation to set\n"},
      {{"-s", store, "create", "--kdf-memory", "37", "--kdf-passes", "1"},
       "--kdf-memory 37 with --kdf-passes 1 is below the minimum for a new store: memory "
       "times passes at least 38 MiB (19 MiB with 2 passes)\n"},
      {{"-s", store, "upgrade", "--kdf-memory", "19", "--kdf-passes", "1"},
       "--kdf-memory 19 with --kdf-passes 1 is below the minimum for a new store: memory "
       "times passes at least 38 MiB (19 MiB with 2 passes)\n"},
      {{"-s", store, "create", "--format", "1", "--kdf-passes", "3"},
       "create: --kdf-time, --kdf-memory and --kdf-passes are for format 2; format 1 has no "
       "key derivation to set\n"},
  };
  for (const auto& c : cases) {
    const ToolResult result = bare(c.args);
    EXPECT_EQ(result.status, kUsage) << testing::PrintToString(c.args) << result.err;
    EXPECT_EQ(result.out, "") << testing::PrintToString(c.args);
    EXPECT_EQ(result.err.rfind("kel-safe: " + c.says, 0), 0u)
        << testing::PrintToString(c.args) << "\n" << result.err;
    EXPECT_EQ(count_of(result.err, "\n"), 1u) << result.err;
  }
}

TEST_F(Statuses, HelpForEverySubcommand) {
  const ToolResult top = bare({"--help"});
  EXPECT_EQ(top.status, kOk);
  EXPECT_EQ(top.err, "");
  for (const char* word : {"create", "verify", "passwd", "add", "get", "exists", "ls",
                           "rm", "check", "repair", "export", "import", "run", "generate",
                           "version", "Exit status", "KEL_SAFE_PASSWORD"}) {
    EXPECT_NE(top.out.find(word), std::string::npos) << word;
  }
  for (const std::string sub :
       {"create", "verify", "passwd", "add", "get", "exists", "ls", "rm", "check", "repair",
        "export", "import", "run", "generate", "version"}) {
    const ToolResult help = bare({sub, "--help"});
    EXPECT_EQ(help.status, kOk) << sub;
    EXPECT_NE(help.out.find("kel-safe " + sub), std::string::npos) << help.out;
    EXPECT_EQ(help.err, "") << sub;
  }
  EXPECT_NE(bare({"get", "--help"}).out.find("--output"), std::string::npos);
  EXPECT_NE(bare({"passwd", "--help"}).out.find("--new-password-fd"), std::string::npos);
  // help [COMMAND] is COMMAND --help; the type of a descriptor reads N once.
  EXPECT_EQ(bare({"help"}).out, top.out);
  EXPECT_EQ(bare({"help", "mv"}).out, bare({"mv", "--help"}).out);
  EXPECT_EQ(bare({"-q", "help", "ls"}).status, kOk);
  EXPECT_NE(top.out.find("  --password-fd N Excludes"), std::string::npos) << top.out;
  EXPECT_EQ(top.out.find("N:N"), std::string::npos) << top.out;
  // The hint on names that start with '-' only where a word is a name.
  const std::string dash = "starts with '-' goes after '--'";
  for (const char* sub : {"get", "rm", "mv", "ls"}) {
    EXPECT_NE(bare({sub, "--help"}).out.find(dash), std::string::npos) << sub;
  }
  for (const char* sub : {"version", "check", "create", "help"}) {
    EXPECT_EQ(bare({sub, "--help"}).out.find(dash), std::string::npos) << sub;
  }
}

// The command table as the tool prints it (kel-safe __commands): words
// ("agent start" for a nested one), where it runs, its options.
struct TableRow {
  std::string words;
  std::string places;
  std::set<std::string> options;            // every name of every option
  std::vector<std::vector<std::string>> groups;  // the names of each option
};

std::vector<TableRow> command_table() {
  std::vector<TableRow> rows;
  std::istringstream lines(bare({"__commands"}).out);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    TableRow row;
    std::string options;
    std::getline(fields, row.words, '\t');
    std::getline(fields, row.places, '\t');
    std::getline(fields, options);
    std::istringstream words(options);
    for (std::string group; words >> group;) {
      std::istringstream names(group);
      row.groups.emplace_back();
      for (std::string name; std::getline(names, name, ',');) {
        row.options.insert(name);
        row.groups.back().push_back(name);
      }
    }
    rows.push_back(row);
  }
  return rows;
}

std::set<std::string> options_in(const std::string& text, const std::regex& pattern) {
  std::set<std::string> found;
  for (std::sregex_iterator it(text.begin(), text.end(), pattern), end; it != end; ++it) {
    found.insert((*it)[1]);
  }
  return found;
}

// The zsh script's options by subcommand: the options of each arm of
// `case $words[1]`, written as '--name[...' or {-n+,--name=}.
std::map<std::string, std::set<std::string>> zsh_options(const std::string& script) {
  std::map<std::string, std::set<std::string>> arms;
  const std::regex arm(R"(^ +([a-z|]+)\)\s*$)");
  const std::regex option(R"((-{1,2}[A-Za-z0-9][A-Za-z0-9-]*)[\[=+,}])");
  std::istringstream lines(script.substr(script.find("case $words[1] in")));
  std::vector<std::string> current;
  for (std::string line; std::getline(lines, line);) {
    std::smatch match;
    if (std::regex_match(line, match, arm)) {
      std::istringstream names(match[1].str());
      current.clear();
      for (std::string name; std::getline(names, name, '|');) current.push_back(name);
      for (const std::string& name : current) arms[name];
      continue;
    }
    for (const std::string& name : current) arms[name].merge(options_in(line, option));
  }
  return arms;
}

// The fish script's options by subcommand, from the lines whose condition
// begins '__fish_seen_subcommand_from NAME...'.
std::map<std::string, std::set<std::string>> fish_options(const std::string& script) {
  std::map<std::string, std::set<std::string>> options;
  const std::regex line_pattern(R"(^complete -c kel-safe -n '__fish_seen_subcommand_from ([a-z ]+)[';](.*)$)");
  std::istringstream lines(script);
  for (std::string line; std::getline(lines, line);) {
    std::smatch match;
    if (!std::regex_match(line, match, line_pattern)) continue;
    std::set<std::string> found;
    std::istringstream words(match[2].str());
    for (std::string word, value; words >> word;) {
      if ((word == "-s" || word == "-l") && words >> value) {
        found.insert((word == "-s" ? "-" : "--") + value);
      }
    }
    std::istringstream names(match[1].str());
    for (std::string name; names >> name;) options[name].insert(found.begin(), found.end());
  }
  return options;
}

// Each shell's completion and the manual page know every subcommand of the
// command table and no other, with the options the table gives it, so that
// a new subcommand or option that one of them lacks fails here and says
// what is missing. The bash script, sourced in bash, completes as a user
// would see it.
TEST_F(Statuses, CompletionKnowsEverySubcommand) {
  const std::vector<TableRow> table = command_table();
  ASSERT_GE(table.size(), 20u);
  std::vector<std::string> commands;          // the program's own, in order
  std::map<std::string, std::set<std::string>> flat;  // options, nested ones' too
  std::map<std::string, std::vector<std::vector<std::string>>> groups;
  for (const TableRow& row : table) {
    const std::string name = row.words.substr(0, row.words.find(' '));
    if (row.places.find("one-shot") == std::string::npos) continue;
    if (row.words == name) commands.push_back(name);
    flat[name].insert(row.options.begin(), row.options.end());
    groups[name].insert(groups[name].end(), row.groups.begin(), row.groups.end());
  }
  const std::set<std::string> listed(commands.begin(), commands.end());
  // The help list is the table's.
  const std::string help = bare({"--help"}).out;
  const std::size_t at = help.find("Subcommands:\n");
  ASSERT_NE(at, std::string::npos) << help;
  std::vector<std::string> in_help;
  std::istringstream help_lines(help.substr(at + 13));
  for (std::string line; std::getline(help_lines, line) && line.rfind("  ", 0) == 0;) {
    in_help.push_back(line.substr(2, line.find(' ', 2) - 2));
  }
  EXPECT_EQ(in_help, commands);

  const std::string scripts = std::string(KEL_SAFE_SOURCE_DIR) + "/tools/completion/";
  const std::string zsh = read_file(scripts + "_kel-safe");
  const std::string fish = read_file(scripts + "kel-safe.fish");
  // The replies for the last of `words`, one a line.
  const auto complete = [&scripts](std::vector<std::string> words) {
    ToolRun bash;
    bash.program = "/bin/bash";
    bash.args = {"-c",
                 "source \"$0\" && COMP_WORDS=(kel-safe \"$@\") COMP_CWORD=$# && _kel_safe && "
                 "printf '%s\\n' \"${COMPREPLY[@]}\"",
                 scripts + "kel-safe.bash"};
    bash.args.insert(bash.args.end(), words.begin(), words.end());
    return run_tool(bash).out;
  };
  const auto replies = [&complete](std::vector<std::string> words) {
    std::set<std::string> found;
    std::istringstream lines(complete(std::move(words)));
    for (std::string line; std::getline(lines, line);) {
      if (!line.empty()) found.insert(line);
    }
    return found;
  };
  EXPECT_EQ(replies({""}), listed) << "bash: the subcommands";
  const std::set<std::string> global = replies({"-"});
  for (const TableRow& row : table) {
    if (row.places.find("one-shot") == std::string::npos) continue;
    std::vector<std::string> words;
    std::istringstream split(row.words);
    for (std::string word; split >> word;) words.push_back(word);
    words.push_back("-");
    std::set<std::string> offered;
    // grant has a --key-file of its own, beside kel-safe's.
    for (const std::string& reply : replies(words)) {
      if ((global.count(reply) == 0 || row.options.count(reply) != 0) && reply != "--") {
        offered.insert(reply);
      }
    }
    // A command with subcommands of its own offers those first.
    if (row.words == "agent") continue;
    EXPECT_EQ(offered, row.options) << "bash: the options of " << row.words;
  }

  std::set<std::string> zsh_listed;
  const std::string zsh_list = zsh.substr(zsh.find("commands=("), zsh.find("\n      )") -
                                                                       zsh.find("commands=("));
  const std::regex zsh_entry(R"(\n\s+'([a-z-]+):)");
  for (std::sregex_iterator it(zsh_list.begin(), zsh_list.end(), zsh_entry), end; it != end;
       ++it) {
    zsh_listed.insert((*it)[1]);
  }
  EXPECT_EQ(zsh_listed, listed) << "zsh: the subcommands";
  std::map<std::string, std::set<std::string>> zsh_arms = zsh_options(zsh);
  std::map<std::string, std::set<std::string>> fish_arms = fish_options(fish);
  std::set<std::string> fish_listed;
  const std::regex fish_entry(R"(-n \$no_command -a ([a-z-]+) -d )");
  for (std::sregex_iterator it(fish.begin(), fish.end(), fish_entry), end; it != end; ++it) {
    fish_listed.insert((*it)[1]);
  }
  EXPECT_EQ(fish_listed, listed) << "fish: the subcommands";
  for (const std::string& command : commands) {
    EXPECT_EQ(zsh_arms[command], flat[command]) << "zsh: the options of " << command;
    EXPECT_EQ(fish_arms[command], flat[command]) << "fish: the options of " << command;
  }
  for (const auto& [name, options] : zsh_arms) EXPECT_EQ(listed.count(name), 1u) << "zsh: " << name;
  for (const auto& [name, options] : fish_arms) EXPECT_EQ(listed.count(name), 1u) << "fish: " << name;

  // The manual page: a term of COMMANDS for each, no other, and each
  // option named (by one of its names) where its command is described.
  std::map<std::string, std::string> described;
  std::istringstream page(read_file(std::string(KEL_SAFE_SOURCE_DIR) + "/tools/kel-safe.1"));
  std::string section, current, previous;
  for (std::string line; std::getline(page, line); previous = line) {
    if (line.rfind(".SH ", 0) == 0) section = line.substr(4);
    if (section != "COMMANDS") continue;
    if (previous == ".TP") {
      const std::string plain = std::regex_replace(line, std::regex(R"(^\.[A-Z]+ |\\f[BIR]|["\[])"), "");
      current = plain.substr(0, plain.find(' '));
    }
    if (!current.empty()) {
      described[current] += std::regex_replace(line, std::regex(R"(\\f[BIRP]|\\&|\\(?=-))"), "") + "\n";
    }
  }
  std::set<std::string> in_page;
  for (const auto& [name, text] : described) in_page.insert(name);
  EXPECT_EQ(in_page, listed) << "kel-safe.1: the terms of COMMANDS";
  for (const std::string& command : commands) {
    for (const std::vector<std::string>& names : groups[command]) {
      bool found = false;
      for (const std::string& name : names) {
        found = found || std::regex_search(described[command],
                                           std::regex("(^|[^-A-Za-z0-9])" + name + "($|[^-A-Za-z0-9])"));
      }
      EXPECT_TRUE(found) << "kel-safe.1 describes " << command << " without " << names.back();
    }
  }

  EXPECT_EQ(complete({"ge"}), "get\ngenerate\n");
  // A file name with a space is one reply, not two.
  const std::string spaced = store + " value.txt";
  write_file(spaced, "v");
  EXPECT_EQ(complete({"add", "x", "-f", store + " v"}), spaced + "\n");
}

TEST_F(Statuses, FailureClasses) {
  // No store yet: every command but create says so.
  const ToolResult missing = tool({"ls"});
  EXPECT_EQ(missing.status, kStoreError);
  EXPECT_NE(missing.err.find("no store"), std::string::npos) << missing.err;
  EXPECT_EQ(tool({"verify"}).status, kStoreError);

  create_store();
  const std::string header = read_file(store_file);
  const ToolResult again = tool({"create"});
  EXPECT_EQ(again.status, kExists);
  EXPECT_EQ(read_file(store_file), header);

  add("k", "first");
  const ToolResult duplicate = tool({"add", "k"}, "second");
  EXPECT_EQ(duplicate.status, kExists);
  EXPECT_EQ(tool({"get", "k"}).out, "first");

  EXPECT_EQ(tool({"add", std::string(256, 'n')}, "v").status, kRejected);
  EXPECT_EQ(tool({"add", std::string(255, 'n')}, "v").status, kOk);
  EXPECT_EQ(tool({"add", "empty"}, "").status, kRejected);
  EXPECT_EQ(tool({"add", "f", "--file", dir.file("absent")}).status, kFileError);
  EXPECT_EQ(tool({"add", "f", "--file", dir.path().string()}).status, kFileError);
  EXPECT_EQ(tool({"get", "k", "-o", dir.file("no/such/dir/out")}).status, kFileError);
  EXPECT_EQ(tool({"exists", "empty"}).status, kFalse);

  // A format-1 store whose password hash matches but whose key no longer
  // unwraps cannot answer: exists must not say "not stored". (Format 2 has
  // no separate hash: a damaged wrapping reads as a wrong password.)
  create_store_on(dir.file("broken"), 1);
  std::string broken = read_file(dir.file("broken.safe"));
  broken[80] = static_cast<char>(broken[80] ^ 1);  // inside store_key_cipher
  write_file(dir.file("broken.safe"), broken);
  for (const char* command : {"exists", "check", "ls"}) {
    ToolRun run;
    run.args = {"-s", dir.file("broken"), "--password-file", password_file, command};
    if (std::string(command) == "exists") run.args.push_back("k");
    const ToolResult result = run_tool(run);
    EXPECT_EQ(result.status, kStoreError) << command << ": " << result.err;
    EXPECT_EQ(result.out, "") << command;
  }

  // Files that cannot be stores are named as such; one of header size or
  // more could be a store under another password.
  std::filesystem::create_directory(dir.file("folder.safe"));
  for (const auto& [contents, status, says] :
       std::vector<std::tuple<std::string, int, std::string>>{
           {std::string(200, 'x'), kWrongPassword, "junk.safe', or not a kel-safe store (Invalid password)"},
           {std::string(132, '\0'), kWrongPassword, "junk.safe', or not a kel-safe store (Invalid password)"},
           {std::string(131, 'x'), kStoreError, "is shorter than a store header (131 of 132 bytes)"},
           {"", kStoreError, "is empty"},
           {"folder", kStoreError, "is a directory"}}) {
    const std::string name = contents == "folder" ? "folder" : "junk";
    if (name == "junk") write_file(dir.file("junk.safe"), contents);
    for (const char* command : {"ls", "exists", "check"}) {
      ToolRun junk;
      junk.args = {"-s", dir.file(name), "--password-file", password_file, command};
      if (std::string(command) == "exists") junk.args.push_back("k");
      const ToolResult result = run_tool(junk);
      EXPECT_EQ(result.status, status) << command << " " << contents.size() << result.err;
      EXPECT_NE(result.err.find(says), std::string::npos) << command << ": " << result.err;
      EXPECT_EQ(result.out, "");
    }
  }
}

// Both formats lay records out alike. A value whose name was lost still
// opens in format 1, so repair recovers it under a new name; format 2 binds
// the value to its name, so repair drops the record and says so.
TEST_F(Statuses, CheckStatesTheResultFirstAndExitsSevenOnDamage) {
  for (const int format : {2, 1}) {
    SCOPED_TRACE("format " + std::to_string(format));
    const std::string other = dir.file("v" + std::to_string(format));
    const std::string file = other + ".safe";
    create_store_on(other, format);
    for (const char* name : {"s1", "s2", "s3"}) {
      ASSERT_EQ(tool_on(other, {"add", name}, std::string("value") + name[1]).status, kOk);
    }
    const ToolResult intact = tool_on(other, {"check"});
    EXPECT_EQ(intact.status, kOk) << intact.err;
    EXPECT_EQ(intact.out.rfind("intact: ", 0), 0u) << intact.out;
    EXPECT_NE(intact.out.find("3 entries authenticate"), std::string::npos) << intact.out;
    EXPECT_NE(intact.out.find("\nformat " + std::to_string(format) + ": "), std::string::npos)
        << intact.out;

    std::string bytes = read_file(file);
    const std::size_t second = 132 + 2 + 41 + 6 + 28;
    bytes[second + 1] = static_cast<char>(bytes[second + 1] ^ 0x40);  // its name
    write_file(file, bytes);
    const ToolResult damaged = tool_on(other, {"check"});
    EXPECT_EQ(damaged.status, kStoreError);
    EXPECT_EQ(damaged.out.rfind("damaged: ", 0), 0u) << damaged.out;
    EXPECT_NE(damaged.out.find("damaged region at offset " + std::to_string(second) + ", 77 bytes"),
              std::string::npos)
        << damaged.out;
    const ToolResult json = tool_on(other, {"check", "--json"});
    EXPECT_EQ(json.status, kStoreError);
    EXPECT_EQ(json.out.rfind("{\"result\":\"damaged\"", 0), 0u) << json.out;
    EXPECT_NE(json.out.find("\"intact\":2"), std::string::npos) << json.out;
    // The entries around the damage still answer.
    EXPECT_EQ(tool_on(other, {"get", "s1"}).out, "value1");
    EXPECT_EQ(tool_on(other, {"get", "s3"}).out, "value3");
    EXPECT_EQ(tool_on(other, {"exists", "s3"}).status, kOk);
    const ToolResult listed = tool_on(other, {"ls"});
    EXPECT_EQ(listed.out, "s1\ns3\n");
    EXPECT_EQ(listed.status, kStoreError);  // the damage could hide a name

    // Repair keeps what it can and the damaged file aside.
    const ToolResult repair = tool_on(other, {"repair"});
    EXPECT_EQ(repair.status, kOk) << repair.err;
    EXPECT_EQ(repair.out.rfind("repaired: ", 0), 0u) << repair.out;
    const std::string recovered = "recovered-" + std::to_string(second);
    if (format == 1) {
      EXPECT_NE(repair.out.find(recovered), std::string::npos) << repair.out;
      EXPECT_EQ(tool_on(other, {"get", recovered}).out, "value2");
    } else {
      EXPECT_NE(repair.out.find("2 entries kept, 1 dropped"), std::string::npos) << repair.out;
      EXPECT_EQ(tool_on(other, {"ls"}).out, "s1\ns3\n");
    }
    EXPECT_EQ(tool_on(other, {"check"}).status, kOk);
    EXPECT_EQ(tool_on(other, {"repair"}).out.rfind("intact: ", 0), 0u);
    std::size_t backups = 0;
    const std::string aside = "v" + std::to_string(format) + ".safe.damaged-";
    for (const std::string& name : files()) backups += name.rfind(aside, 0) == 0;
    EXPECT_EQ(backups, 1u);
  }
}

// One flipped byte in a record's sealed name: that record could hold any
// name, so no command answers "absent" or adds the name again; each exits 7
// and says where the store is damaged, while the names that read answer.
TEST_F(Statuses, ADamagedNameIsNeverAnAbsentName) {
  for (const int format : {2, 1}) {
    SCOPED_TRACE("format " + std::to_string(format));
    std::filesystem::remove(store_file);
    create_store(format);
    add("web", "w");
    add("mail", "m");
    add("bank", "b");
    std::string bytes = read_file(store_file);
    const std::size_t mail = 132 + 3 + 1 + 69;  // after "web"
    bytes[mail + 2] = static_cast<char>(bytes[mail + 2] ^ 0x01);
    write_file(store_file, bytes);
    const std::string where = "at offset " + std::to_string(mail);
    for (const auto& [args, input] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"exists", "mail"}, ""}, {{"exists", "other"}, ""}, {{"get", "mail"}, ""},
             {{"add", "mail"}, "again"}, {{"add", "other"}, "new"}, {{"rm", "mail"}, ""},
             {{"ls"}, ""}, {{"find", "zz"}, ""}, {{"find", "MAIL*"}, ""}}) {
      const ToolResult result = tool(args, input);
      EXPECT_EQ(result.status, kStoreError) << args[0] << ": " << result.err;
      EXPECT_NE(result.err.find(where), std::string::npos) << args[0] << ": " << result.err;
    }
    EXPECT_EQ(tool({"ls"}).out, "bank\nweb\n");
    EXPECT_EQ(tool({"find", "B"}).out, "bank\nweb\n");
    EXPECT_EQ(tool({"get", "web"}).out, "w");
    EXPECT_EQ(read_file(store_file), bytes);
  }
}

// A file cut inside the last record's fixed part lost that entry: ls lists
// the others, notes where, and exits 7, as check does. The same cut behind a
// zero first byte is an append that never finished (an append writes that
// byte last): nothing acknowledged is missing, and both exit 0.
TEST_F(Statuses, AFileCutInsideARecordIsDamageUnlessItsFirstByteIsZero) {
  create_store();
  add("web", "w");
  add("mail", "m");
  const std::string whole = read_file(store_file);
  const std::size_t mail = header_length(whole) + 3 + 1 + 69;  // after "web"
  for (const std::size_t kept : {1u, 20u, 44u}) {  // the fixed part is 45 bytes
    for (const bool zero : {false, true}) {
      SCOPED_TRACE(std::to_string(kept) + (zero ? " bytes, zero first byte" : " bytes"));
      std::string bytes = whole.substr(0, mail + kept);
      if (zero) bytes[mail] = '\0';
      write_file(store_file, bytes);
      const ToolResult listed = tool({"ls"});
      EXPECT_EQ(listed.out, "web\n");
      const ToolResult checked = tool({"check"});
      if (zero) {
        EXPECT_EQ(listed.status, kOk) << listed.err;
        EXPECT_EQ(checked.status, kOk) << checked.out;
        EXPECT_NE(checked.out.find("unfinished append at the end: " + std::to_string(kept)),
                  std::string::npos) << checked.out;
      } else {
        const std::string where = "at offset " + std::to_string(mail) + " (" +
                                  std::to_string(kept) + " bytes)";
        EXPECT_EQ(listed.status, kStoreError);
        EXPECT_NE(listed.err.find(where), std::string::npos) << listed.err;
        EXPECT_EQ(checked.status, kStoreError);
        EXPECT_NE(checked.out.find("damaged region at offset " + std::to_string(mail) + ", " +
                                   std::to_string(kept) + " bytes: the file ends inside"),
                  std::string::npos) << checked.out;
      }
    }
  }
}

// upgrade turns a format-1 store (and a format-2 one) into format 3 with the
// same password and names every format-1 copy beside it with the command
// that removes it; --drop-backup removes them, and nothing else; check
// reports the new format.
TEST_F(Statuses, UpgradeMakesFormat3AndCheckSaysSo) {
  create_store(1);
  add("s1", "value1");
  // An earlier password change's backup and a repair's copy (format 1). Not
  // copies: a format-1 file under a name no repair gives, and text of a
  // store's size under a repair's name (format 1 has no magic number).
  write_file(store_file + ".backup1", read_file(store_file));
  const std::string damaged = store_file + ".damaged-20261208T101500Z";
  write_file(damaged, read_file(store_file));
  write_file(store_file + ".damaged-it's", read_file(store_file));
  write_file(store_file + ".damaged-20261208T101501Z", std::string(300, 'x'));
  const ToolResult upgraded = tool({"upgrade", "--kdf-memory", "19", "--kdf-passes", "2"});
  ASSERT_EQ(upgraded.status, kOk) << upgraded.err;
  EXPECT_NE(upgraded.err.find("to format 3: Argon2id with 19 MiB, 2 passes, 4 lanes"),
            std::string::npos)
      << upgraded.err;
  for (const std::string& copy : {store_file + ".backup1'", store_file + ".backup2'",
                                  damaged + "'"}) {
    EXPECT_NE(upgraded.err.find("kel-safe:   rm -- '" + copy + "\n"), std::string::npos)
        << copy << "\n" << upgraded.err;
  }
  EXPECT_EQ(upgraded.err.find("it'"), std::string::npos) << upgraded.err;
  EXPECT_EQ(upgraded.err.find("101501Z"), std::string::npos) << upgraded.err;
  // A format-3 copy is none of them.
  write_file(store_file + ".damaged-20261208T101502Z", read_file(store_file));
  const ToolResult dropped = tool({"upgrade", "--drop-backup"});
  ASSERT_EQ(dropped.status, kOk) << dropped.err;
  EXPECT_EQ(files(), (std::vector<std::string>{"password", "vault.safe",
                                               "vault.safe.damaged-20261208T101501Z",
                                               "vault.safe.damaged-20261208T101502Z",
                                               "vault.safe.damaged-it's"}));
  EXPECT_EQ(tool({"get", "s1"}).out, "value1");
  const ToolResult checked = tool({"check", "--json"});
  EXPECT_EQ(checked.status, kOk);
  EXPECT_NE(checked.out.find("\"format\":3,\"kdf\":{\"algorithm\":\"argon2id\",\"memory_kib\":19456"),
            std::string::npos)
      << checked.out;
  const ToolResult again = tool({"upgrade"});
  EXPECT_EQ(again.status, kOk);
  EXPECT_NE(again.err.find("already"), std::string::npos) << again.err;
  // A format-2 store (what the tool made before format 3) too.
  const std::string two = dir.file("two");
  create_store_on(two, 2);
  ASSERT_EQ(tool_on(two, {"add", "s2"}, "value2").status, kOk);
  const ToolResult from_two =
      tool_on(two, {"upgrade", "--kdf-memory", "19", "--kdf-passes", "2"});
  ASSERT_EQ(from_two.status, kOk) << from_two.err;
  EXPECT_NE(from_two.err.find("to format 3: "), std::string::npos) << from_two.err;
  EXPECT_EQ(tool_on(two, {"get", "s2"}).out, "value2");
  EXPECT_EQ(tool_on(two, {"check"}).status, kOk);

  EXPECT_EQ(tool({"create", "--kdf-memory", "18"}).status, kUsage);
}

TEST_F(Statuses, OneWordingPerFailure) {
  create_store();
  add("k", "first");
  // A value larger than the file size limit below: any rewrite, and any
  // append, runs out of room.
  const std::string big = pattern_bytes(96 * 1024, 3);
  write_file(dir.file("big.in"), big);
  ASSERT_EQ(tool({"add", "big", "--file", dir.file("big.in")}).status, kOk);
  const long full = 64 * 1024;
  const std::string no_room =
      ": the disk is full for this process (the file size limit, ulimit -f, is reached); "
      "the store is unchanged (";
  const std::string new_copy = "cannot write the new copy of '" + store_file + "' in '" +
                               dir.path().string() + "'" + no_room;
  write_file(dir.file("wrong"), kOtherPassword + "\n");
  std::filesystem::permissions(dir.file("wrong"), std::filesystem::perms::owner_read);
  write_file(dir.file("new-password"), kOtherPassword + "\n");
  std::filesystem::permissions(dir.file("new-password"), std::filesystem::perms::owner_read);
  write_file(dir.file("empty"), "");
  write_file(dir.file("backup.json"), "{}");
  std::filesystem::copy_file(store_file, dir.file("copy.safe"));
  write_file(dir.file("hotp"), "otpauth://hotp/x?secret=GEZDGNBV&counter=1");
  const auto wrong_pw = [&](const std::string& source) {
    return "wrong password (from " + source + ") for '" + store_file +
           "', or not a kel-safe store (Invalid password)\n";
  };
  const std::string from_file = "--password-file '" + dir.file("wrong") + "'";
  const std::string empty = "the value is empty: a value must hold at least one byte";
  const struct {
    std::vector<std::string> args;
    std::string input;
    int status;
    std::string says;  // what follows "kel-safe: "
    long file_size_limit = -1;
    std::map<std::string, std::string> env = {};  // KEL_SAFE_PASSWORD: no --password-file
    std::map<int, std::string> fds = {};
    std::vector<std::pair<std::string, std::string>> dialogue = {};  // on a terminal
  } cases[] = {
      {{"get", "nope"}, "", kNotFound,
       "get 'nope': no entry 'nope' in '" + store_file + "'; kel-safe ls lists the names\n"},
      {{"rm", "nope"}, "", kNotFound,
       "rm 'nope': no entry 'nope' in '" + store_file + "'; kel-safe ls lists the names\n"},
      // Not the advice to rm it first, which loses the value if the add fails.
      {{"add", "k"}, "v", kExists,
       "add 'k': an entry 'k' exists already; --replace replaces its value in the same step "
       "(Item exists)\n"},
      {{"--password-file", dir.file("wrong"), "add", "x"}, "v", kWrongPassword,
       "add 'x': " + wrong_pw(from_file)},
      {{"--password-file", dir.file("wrong"), "exists", "k"}, "", kWrongPassword,
       "exists 'k': " + wrong_pw(from_file)},
      {{"--password-file", dir.file("wrong"), "ls"}, "", kWrongPassword,
       "ls: " + wrong_pw(from_file)},
      {{"ls"}, "", kWrongPassword, "ls: " + wrong_pw("KEL_SAFE_PASSWORD"), -1,
       {{"KEL_SAFE_PASSWORD", kOtherPassword}}},
      {{"--password-fd", "3", "ls"}, "", kWrongPassword, "ls: " + wrong_pw("--password-fd 3"),
       -1, {}, {{3, kOtherPassword + "\n"}}},
      {{"add", std::string(256, 'n')}, "v", kRejected,
       "add '" + std::string(256, 'n') +
           "': the name is 256 bytes long; an entry name is 1 to 255 bytes\n"},
      // A full disk: where, and that the store is as it was.
      {{"add", "k", "--replace"}, "v", kStoreError,
       "add 'k': " + new_copy + "Could not write lower part to tmp store)\n", full},
      {{"rm", "k"}, "", kStoreError,
       "rm 'k': " + new_copy + "Could not write lower part to tmp store)\n", full},
      {{"add", "more", "--file", dir.file("big.in")}, "", kStoreError,
       "add 'more': cannot add to '" + store_file + "'" + no_room +
           "Error, could not write to store - File too large)\n",
       full},
      {{"passwd", "--new-password-file", dir.file("new-password")}, "", kStoreError,
       "passwd: cannot write the backup '" + store_file + ".backup1'" + no_room +
           "Could not copy store file to backup file " + store_file +
           ".backup1 - File too large)\n",
       full},
      {{"get", "big", "-o", dir.file("out")}, "", kFileError,
       "get 'big': cannot write '" + dir.file("out") +
           "': the disk is full for this process (the file size limit, ulimit -f, is "
           "reached) (Could not write value - File too large)\n",
       full},
      {{"-s", dir.file("copy"), "passwd", "--new-password-file", dir.file("new-password")}, "",
       kOk,
       "changed the password of '" + dir.file("copy.safe") +
           "'\nkel-safe: the previous store file, which still opens with the old password, is "
           "kept as '" + dir.file("copy.safe.backup1") + "' (--drop-backup removes it)\n"},
      {{"-s", dir.file("no/such"), "create", "--kdf-memory", "19", "--kdf-passes", "2"}, "",
       kStoreError,
       "create '" + dir.file("no/such.safe") + "': the folder '" + dir.file("no") +
           "' does not exist (mkdir it first) (could not create store - No such file or "
           "directory)\n"},
      {{"-s", dir.file("fresh"), "create", "--kdf-memory", "19", "--kdf-passes", "2"}, "",
       kStoreError,
       "create '" + dir.file("fresh.safe") + "': cannot create '" + dir.file("fresh.safe") +
           "': the disk is full for this process (the file size limit, ulimit -f, is "
           "reached) (Could not write to store file)\n",
       100},
      {{"-s", dir.file("backup.json"), "ls"}, "", kStoreError,
       "no store at '" + dir.file("backup.json.safe") +
           "': store file names end in .safe, which -s adds; if '" + dir.file("backup.json") +
           "' is a store, mv '" + dir.file("backup.json") + "' '" +
           dir.file("backup.json.safe") + "' (kel-safe create makes a new one)\n"},
      {{"add", "typed"}, "", kRejected, "the two values typed do not match\n", -1,
       {{"KEL_SAFE_PASSWORD", kPassword}}, {},
       {{"Value of 'typed': ", "one\n"}, {"Repeat it: ", "two\n"}}},
      {{"get", "--env", "zero"}, "", kRejected,
       "the value of 'zero' holds a zero byte, which no environment variable can hold, so "
       "no dotenv line keeps it as it is (use --json)\n"},
      {{"add", "e"}, "", kRejected, "add 'e': " + empty + "\n"},
      {{"add", "e", "--file", dir.file("empty")}, "", kRejected,
       "add 'e': " + empty + " (Invalid entry value)\n"},
      {{"add", "e", "--file", "/dev/stdin"}, "", kRejected,
       "add 'e': " + empty + " (Invalid entry value)\n"},
      {{"add", "piped", "--file", "/dev/stdin"}, "streamed", kOk, "added 'piped'\n"},
      {{"mv", "nope", "n2"}, "", kNotFound,
       "mv 'nope': no entry 'nope' in '" + store_file + "'; kel-safe ls lists the names\n"},
      {{"cp", "k", "piped"}, "", kExists,
       "cp 'k': an entry 'piped' exists already; --replace replaces its value in the same "
       "step (Item exists)\n"},
      {{"mv", "k", "piped"}, "", kExists,
       "mv 'k': an entry 'piped' exists already; --replace replaces its value in the same "
       "step (Item exists)\n"},
      // Never the advice to rm it, which would lose the value.
      {{"mv", "k", "k", "--replace"}, "", kExists,
       "mv 'k': the new name is the old one; nothing to do\n"},
      {{"cp", "k", "k"}, "", kExists, "cp 'k': the new name is the old one; nothing to do\n"},
      {{"add", "--", "-dash"}, "v", kOk, "added '-dash'\n"},
      {{"rm", "--drop-backup", "--", "-dash"}, "", kOk, "removed '-dash'\n"},
      {{"add", "d", "--file", dir.path().string()}, "", kFileError,
       "cannot read '" + dir.path().string() + "': Is a directory\n"},
      {{"add", "f", "--file", dir.file("absent")}, "", kFileError,
       "cannot open '" + dir.file("absent") + "': "},
      // Calls on many entries name the one concerned.
      {{"get", "--json", "k", "nope"}, "", kNotFound,
       "get: no entry 'nope' in '" + store_file + "'; kel-safe ls lists the names\n"},
      {{"get", "--json", "k", std::string(256, 'n')}, "", kRejected,
       "get: the name is 256 bytes long; an entry name is 1 to 255 bytes\n"},
      {{"add", ""}, "v", kRejected, "add '': the name is 0 bytes long; an entry name is 1 to 255 bytes\n"},
      // Removal looks the name up as it is: a name no entry can have is absent.
      {{"rm", std::string(256, 'n')}, "", kNotFound,
       "rm '" + std::string(256, 'n') + "': no entry '" + std::string(256, 'n') + "' in '" +
           store_file + "'; kel-safe ls lists the names\n"},
      // An empty value is left out, by name, rather than failing the import.
      {{"import", "--json", "-"}, "{\"e\": \"\"}", kOk,
       "skipped 'e': its value is empty, and a stored value holds at least one byte\n"},
      // A clipboard that is not there is told before any password is asked.
      {{"get", "k", "--clip"}, "", kUsage,
       "get 'k': no display to hold a clipboard: neither WAYLAND_DISPLAY nor DISPLAY is set "
       "(without --clip the value is printed)\n"},
      {{"get", "k", "--clip"}, "", kUsage,
       "get 'k': no clipboard program: --clip needs xclip or xsel on PATH\n", -1,
       {{"DISPLAY", ":9"}, {"PATH", dir.file("none")}}},
      {{"get", "k", "--clip"}, "", kFileError,
       "get 'k': wl-copy could not take the value (exit status 1): nothing was copied\n", -1,
       {{"WAYLAND_DISPLAY", "w"}, {"PATH", dir.file("failing")}, {"KEL_SAFE_PASSWORD", kPassword}}},
      // A QR code is the value to whoever reads the file or pipe it lands in.
      {{"get", "k", "--qr"}, "", kUsage,
       "get 'k': standard output is not a terminal, and a QR code drawn into a file or pipe "
       "is the value for whoever reads it (--force draws it there all the same)\n"},
      {{"get", "big", "--qr", "--force"}, "", kRejected,
       "get 'big': the value is 98304 bytes long, more than a QR code holds (2331 bytes at "
       "error correction level M)\n"},
      // A line of a value pasted without quotes is never echoed.
      {{"import", "--env", "-"}, "A='x'\nS3cretWord\n", kRejected,
       "line 2: no '=' after the name; a line is NAME=VALUE\n"},
      {{"import", "--env", "-"}, "A='x'\nS3cret-Word tail\n", kRejected,
       "line 2: no variable name where the line begins; a line is NAME=VALUE\n"},
      // An otpauth:// URI that otp could not use is never stored, and the
      // refusal never quotes its secret.
      {{"add", "bad"}, "otpauth://totp/x?secret=AB1&digits=8", kRejected,
       "add 'bad': the value holds an otpauth:// URI that kel-safe otp cannot use: character "
       "3 of the secret is not base32 (A to Z and 2 to 7); nothing is stored\n"},
      {{"add", "k", "--replace"}, "pw\notpauth://totp/x?secret=GEZDGNBV&digits=9\n", kRejected,
       "add 'k': the value holds an otpauth:// URI that kel-safe otp cannot use: digits= must "
       "be 6, 7 or 8, not '9'; nothing is stored\n"},
      {{"add", "bad", "--file", dir.file("hotp")}, "", kRejected,
       "add 'bad': the value holds an otpauth:// URI that kel-safe otp cannot use: the URI is "
       "for counter-based codes (hotp); kel-safe otp makes time-based ones "
       "(otpauth://totp/...); nothing is stored\n"},
      {{"add", "bad"}, "OTPAUTH://TOTP/x?secret=GEZDGNBV&period=0", kRejected,
       "add 'bad': the value holds an otpauth:// URI that kel-safe otp cannot use: period= "
       "must be a whole number of seconds, at least 1, not '0'; nothing is stored\n"},
      {{"otp", "zero"}, "", kRejected,
       "otp 'zero': the value is neither an otpauth://totp/ URI nor a base32 secret: "
       "character 2 of the secret is not base32 (A to Z and 2 to 7)\n"},
      // "first" is base32, but far too short to be a TOTP secret.
      {{"otp", "k"}, "", kRejected,
       "otp 'k': the value is neither an otpauth://totp/ URI nor a base32 secret: the secret "
       "is 3 bytes, fewer than the 10 (16 base32 characters) of any TOTP secret\n"},
      {{"otp", "nope"}, "", kNotFound,
       "otp 'nope': no entry 'nope' in '" + store_file + "'; kel-safe ls lists the names\n"},
      {{"get", "k", "--line", "2"}, "", kRejected,
       "get 'k': the value of 'k' has 1 line, so it has no line 2\n"},
      {{"run", "--env", "V=k:3", "--", "true"}, "", kRejected,
       "run: the value of 'k' has 1 line, so it has no line 3\n"},
  };
  add("zero", std::string("a\0b", 3));
  std::filesystem::create_directory(dir.file("failing"));
  for (const char* program : {"wl-copy", "wl-paste"}) {
    std::filesystem::create_symlink("/bin/false", dir.file("failing") + "/" + program);
  }
  for (const auto& c : cases) {
    if (!c.dialogue.empty() && !have_pseudo_terminals()) continue;
    std::vector<std::string> args;
    if (c.args[0] != "-s") args = {"-s", store};
    if (c.args[0] != "--password-file" && c.args[0] != "--password-fd" && c.env.empty()) {
      args.insert(args.end(), {"--password-file", password_file});
    }
    args.insert(args.end(), c.args.begin(), c.args.end());
    ToolRun run;
    run.args = args;
    run.input = c.input;
    run.file_size_limit = c.file_size_limit;
    run.env = c.env;
    run.fds = c.fds;
    run.dialogue = c.dialogue;
    run.with_terminal = run.stdin_is_terminal = !c.dialogue.empty();
    const ToolResult result = run_tool(run);
    EXPECT_EQ(result.status, c.status) << testing::PrintToString(c.args) << result.err;
    EXPECT_EQ(result.err.rfind("kel-safe: " + c.says, 0), 0u)
        << testing::PrintToString(c.args) << "\n" << result.err;
  }
  EXPECT_EQ(tool({"get", "piped"}).out, "streamed");
  // Nothing the full disk stopped was changed or left behind.
  EXPECT_TRUE(tool({"get", "big"}).out == big) << "the value changed";
  EXPECT_EQ(tool({"exists", "more"}).status, kFalse);
  EXPECT_FALSE(std::filesystem::exists(store_file + ".backup1"));
  EXPECT_FALSE(std::filesystem::exists(dir.file("no")));
  EXPECT_FALSE(std::filesystem::exists(dir.file("fresh.safe")));

  // The backup a rewrite names opens with -s exactly as printed.
  ToolRun rotate;
  rotate.args = {"-s", store, "--password-file", password_file, "add", "k", "--replace"};
  rotate.input = "second";
  const ToolResult rotated = run_tool(rotate);
  ASSERT_EQ(rotated.status, kOk) << rotated.err;
  const std::string kept = "is kept as '";
  const std::size_t at = rotated.err.find(kept);
  ASSERT_NE(at, std::string::npos) << rotated.err;
  const std::string backup = rotated.err.substr(
      at + kept.size(), rotated.err.find('\'', at + kept.size()) - at - kept.size());
  EXPECT_EQ(backup, store_file + ".backup2");
  ToolRun old_value;
  old_value.args = {"-s", backup, "--password-file", password_file, "get", "k"};
  const ToolResult read_back = run_tool(old_value);
  EXPECT_EQ(read_back.status, kOk) << read_back.err;
  EXPECT_EQ(read_back.out, "first");
  EXPECT_EQ(tool({"get", "k"}).out, "second");

  // Onto a stored name, --replace replaces its value in the same rewrite.
  EXPECT_EQ(tool({"cp", "k", "piped", "--replace"}).status, kOk);
  EXPECT_EQ(tool({"get", "piped"}).out, "second");
  add("fresh", "third");
  EXPECT_EQ(tool({"mv", "fresh", "k", "--replace"}).status, kOk);
  EXPECT_EQ(tool({"get", "k"}).out, "third");
  EXPECT_EQ(tool({"ls"}).out, "big\nk\npiped\nzero\n");

  // A store the user may read but not write.
  std::filesystem::permissions(store_file, std::filesystem::perms::owner_read |
                                               std::filesystem::perms::group_read |
                                               std::filesystem::perms::others_read);
  std::filesystem::permissions(dir.path(), std::filesystem::perms::others_read |
                                               std::filesystem::perms::others_exec,
                               std::filesystem::perm_options::add);
  ToolRun read_only;
  read_only.args = {"-s", store, "--password-fd", "3", "add", "new"};
  read_only.fds[3] = kPassword + "\n";
  read_only.input = "v";
  read_only.drop_root = true;
  const ToolResult refused = run_tool(read_only);
  EXPECT_EQ(refused.status, kStoreError) << refused.err;
  EXPECT_EQ(refused.err.rfind("kel-safe: add 'new': cannot write '" + store_file +
                                  "': permission denied; check the file's owner and "
                                  "mode, and its folder's (Could not obtain file lock",
                              0),
            0u)
      << refused.err;
}

TEST_F(Statuses, ClosedStandardOutputIsAnError) {
  create_store();
  add("k", "s3cr3t-content");
  ToolRun run;
  run.args = {"-s", store, "--password-file", password_file, "get", "k"};
  run.close_stdout = true;
  const ToolResult result = run_tool(run);
  EXPECT_EQ(result.status, kFileError);
  EXPECT_NE(result.err.find("standard output"), std::string::npos) << result.err;
  // The value went nowhere else either.
  EXPECT_EQ(result.err.find("s3cr3t"), std::string::npos) << result.err;
  EXPECT_EQ(tool({"get", "k"}).out, "s3cr3t-content");
}

TEST_F(Statuses, NotesAndQuietMode) {
  create_store();
  const ToolResult noisy = tool({"add", "k"}, "v");
  EXPECT_NE(noisy.err.find("added"), std::string::npos);
  // Names in notes: text as it is under a UTF-8 locale; control bytes (C1
  // included) and bytes that are not UTF-8 as \xHH.
  const struct {
    const char* locale;
    std::string name;
    std::string says;
  } names[] = {
      {"C.UTF-8", "caf\xc3\xa9", "added 'caf\xc3\xa9'\n"},
      {"C", "caf\xc3\xa9-2", "added 'caf\\xc3\\xa9-2'\n"},
      {"C.UTF-8", "csi\xc2\x9b", "added 'csi\\xc2\\x9b'\n"},
      {"en_US.utf8", "bad\xff\xc3", "added 'bad\\xff\\xc3'\n"},
      {"C.UTF-8", "esc\x1b[2J\x7f", "added 'esc\\x1b[2J\\x7f'\n"},
  };
  for (const auto& n : names) {
    ToolRun run;
    run.args = {"-s", store, "--password-file", password_file, "add", n.name};
    run.env["LC_ALL"] = n.locale;
    run.input = "v";
    EXPECT_EQ(run_tool(run).err, "kel-safe: " + n.says) << n.locale;
  }
  const ToolResult quiet = tool({"-q", "add", "q"}, "v");
  EXPECT_EQ(quiet.status, kOk);
  EXPECT_EQ(quiet.err, "");
  // Options of the whole tool may also follow the subcommand.
  const ToolResult after = tool({"rm", "q", "--quiet", "--drop-backup"});
  EXPECT_EQ(after.status, kOk);
  EXPECT_EQ(after.err, "");
}


// One way to tamper with a store of the records a1, b1, c1, d1 (in that
// order; each a 1-byte name and a 2-byte value: 72 bytes; see `fresh` below): what is done to
// it, which names still read right, and where check must see the first
// damage (from the end of the header). `repaired`: d's value is damaged and
// the store repaired first (d is dropped; a .damaged-* copy is kept).
struct Tampering {
  const char* what;
  bool repaired;
  std::function<std::string(const std::string& bytes, std::size_t header)> tamper;
  std::vector<std::string> intact;
  std::size_t first_damage;
};

// Records are bound to their place and to the file's generation: moved,
// dropped, doubled, or brought back from a copy made before a rewrite (an
// old `cp`, a .backup2, a .damaged-* copy), they no longer authenticate.
// check names where (exit 7), a read of an affected name refuses or gives
// the current value (never an older one, ending in 0), and every other
// name reads right.
TEST_F(Statuses, TamperingWithRecordsShows) {
  constexpr std::size_t kRecord = 72;
  const auto record = [](const std::string& bytes, std::size_t i) {
    return bytes.substr(header_length(bytes) + i * kRecord, kRecord);
  };
  const std::string other = dir.file("work/s");
  // Each row's store holds older records of its own, a0 and d0, under an
  // older generation at the places a1 and d1 now hold: a copy taken before
  // the rewrites (`old`), and the .backup2 of the first removal (`backup`).
  std::string old, backup;
  const auto fresh = [&] {
    std::filesystem::remove_all(dir.path() / "work");
    std::filesystem::create_directory(dir.path() / "work");
    create_store_on(other);
    const auto add_all = [&](const char* a_value, const char* d_value) {
      for (const auto& [name, value] : std::vector<std::pair<std::string, std::string>>{
               {"a", a_value}, {"b", "b1"}, {"c", "c1"}, {"d", d_value}}) {
        EXPECT_EQ(tool_on(other, {"add", name}, value).status, kOk);
      }
    };
    add_all("a0", "d0");
    old = read_file(other + ".safe");
    for (const char* name : {"a", "b", "c", "d"}) {
      EXPECT_EQ(tool_on(other, {"rm", name}).status, kOk);
      if (*name == 'a') backup = read_file(other + ".safe.backup2");
    }
    add_all("a1", "d1");
  };
  std::string damaged_copy;
  const std::vector<Tampering> table = {
      {"two records swapped", false,
       [&](const std::string& s, std::size_t h) {
         return s.substr(0, h) + record(s, 1) + record(s, 0) + s.substr(h + 2 * kRecord);
       },
       {"c", "d"}, 0},
      {"a middle record deleted", false,
       [&](const std::string& s, std::size_t h) {
         return s.substr(0, h + kRecord) + s.substr(h + 2 * kRecord);
       },
       {"a"}, kRecord},
      {"a record doubled at the end", false,
       [&](const std::string& s, std::size_t) { return s + record(s, 0); },
       {"a", "b", "c", "d"}, 4 * kRecord},
      {"the older a of a .backup2 in front of the current one", false,
       [&](const std::string& s, std::size_t h) {
         return s.substr(0, h) + record(backup, 0) + s.substr(h);
       },
       {}, 0},
      {"the older d of a copy made before a rewrite, in d's place", false,
       [&](const std::string& s, std::size_t h) {
         return s.substr(0, h + 3 * kRecord) + record(old, 3);
       },
       {"a", "b", "c"}, 3 * kRecord},
      {"b of the .damaged copy a repair kept, in b's place", true,
       [&](const std::string& s, std::size_t h) {
         return s.substr(0, h + kRecord) + record(damaged_copy, 1) + s.substr(h + 2 * kRecord);
       },
       {"a", "c"}, kRecord},
  };
  for (const Tampering& row : table) {
    SCOPED_TRACE(row.what);
    fresh();
    const std::string file = other + ".safe";
    if (row.repaired) {
      std::string bytes = read_file(file);
      bytes[header_length(bytes) + 4 * kRecord - 20] ^= 0x01;
      write_file(file, bytes);
      ASSERT_EQ(tool_on(other, {"repair"}).status, kOk);
      for (const auto& entry : std::filesystem::directory_iterator(dir.path() / "work")) {
        if (entry.path().filename().string().rfind("s.safe.damaged-", 0) == 0) {
          damaged_copy = read_file(entry.path().string());
        }
      }
      ASSERT_FALSE(damaged_copy.empty());
    }
    const std::string bytes = read_file(file);
    const std::size_t h = header_length(bytes);
    write_file(file, row.tamper(bytes, h));
    const ToolResult checked = tool_on(other, {"check"});
    EXPECT_EQ(checked.status, kStoreError) << checked.out;
    EXPECT_NE(checked.out.find("damaged region at offset " + std::to_string(h + row.first_damage)),
              std::string::npos)
        << checked.out;
    for (const std::string name : {"a", "b", "c", "d"}) {
      const ToolResult got = tool_on(other, {"get", name});
      if (std::find(row.intact.begin(), row.intact.end(), name) != row.intact.end()) {
        EXPECT_EQ(got.status, kOk) << name << ": " << got.err;
        EXPECT_EQ(got.out, name + "1") << name;
      } else {
        EXPECT_NE(got.out, name + "0") << name;
        if (got.status == kOk) {
          EXPECT_EQ(got.out, name + "1") << name;
        }
      }
    }
  }
  // The key slot (the header's only one) is bound to this store and this
  // store key. One damaged byte of its wrapped store key: the password still
  // opens the slot's key, so the header is named as damaged, not the
  // password as wrong. A slot of another store in its place opens nothing.
  fresh();
  const std::string file = other + ".safe";
  const std::string whole = read_file(file);
  constexpr std::size_t kWrappedKey = 52 + 13 + 76;
  std::string bytes = whole;
  bytes[kWrappedKey + 5] ^= 0x01;
  write_file(file, bytes);
  const ToolResult damaged_slot = tool_on(other, {"get", "a"});
  EXPECT_EQ(damaged_slot.status, kStoreError) << damaged_slot.err;
  EXPECT_NE(damaged_slot.err.find("Store header damaged: the password opens key slot 0, but "
                                  "its wrapped store key or its MAC does not authenticate"),
            std::string::npos)
      << damaged_slot.err;
  const std::string stranger = dir.file("stranger");
  create_store_on(stranger);
  const std::string theirs = read_file(stranger + ".safe");
  write_file(file, whole.substr(0, 52) + theirs.substr(52, header_length(theirs) - 52) +
                       whole.substr(header_length(whole)));
  EXPECT_EQ(tool_on(other, {"get", "a"}).status, kWrongPassword);
  write_file(file, whole);
  EXPECT_EQ(tool_on(other, {"get", "a"}).out, "a1");
  // Beside this store's own slot, that slot opens nothing and is named by
  // check; the store opens through its own.
  const std::string mine = dir.file("mine");
  create_store_on(mine);
  const std::string own = read_file(mine + ".safe");
  const std::size_t both = 52 + 2 * 257;
  std::string length(4, '\0');
  for (int i = 0; i < 4; ++i) length[i] = static_cast<char>(both >> (8 * i));
  write_file(mine + ".safe", own.substr(0, 12) + length + own.substr(16, 32) +
                                 std::string("\x02\0\0\0", 4) + own.substr(52) +
                                 theirs.substr(52, 257));
  ASSERT_EQ(tool_on(mine, {"add", "x"}, "y").status, kOk);
  EXPECT_EQ(tool_on(mine, {"get", "x"}).out, "y");
  const ToolResult two_slots = tool_on(mine, {"check"});
  EXPECT_EQ(two_slots.status, kStoreError);
  EXPECT_NE(two_slots.out.find("damaged region at offset 309, 257 bytes: key slot 1 does not "
                               "belong to this store's key"),
            std::string::npos)
      << two_slots.out;
}

}  // namespace
}  // namespace kel::test

// Every subcommand of kel-safe run as a user runs it, and the bytes that
// come back compared with the bytes that went in.
#include <fcntl.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tool/tool_fixture.h"

namespace kel::test {
namespace {

using RoundTrip = ToolTest;

// The tour of the tool in README.md, replayed as printed: each command runs
// in a shell with a terminal, each prompt it shows is answered, and what it
// prints is what the README shows, /home/me standing for the home directory.
TEST_F(RoundTrip, TheReadmeTourRunsAsPrinted) {
  if (!have_pseudo_terminals()) GTEST_SKIP() << "no pseudo-terminals here";
  const std::string readme = read_file(std::string(KEL_SAFE_SOURCE_DIR) + "/README.md");
  const std::string fence = "```console\n";
  const std::size_t begin = readme.find(fence);
  ASSERT_NE(begin, std::string::npos);
  const std::size_t end = readme.find("```\n", begin + fence.size());
  ASSERT_NE(end, std::string::npos);
  struct Step {
    std::string command;
    std::vector<std::string> shown;
  };
  std::vector<Step> steps;
  std::istringstream block(readme.substr(begin + fence.size(), end - begin - fence.size()));
  for (std::string line; std::getline(block, line);) {
    if (line.rfind("$ ", 0) == 0) {
      steps.push_back({line.substr(2), {}});
    } else {
      ASSERT_FALSE(steps.empty()) << line;
      steps.back().shown.push_back(line);
    }
  }
  ASSERT_GE(steps.size(), 10u);

  const std::string home = dir.file("home");
  std::filesystem::create_directories(home + "/.ssh");
  write_file(home + "/.ssh/id_ed25519", pattern_bytes(411, 5));
  const auto at_home = [&home](std::string text) {
    for (std::size_t at; (at = text.find("/home/me")) != std::string::npos;) {
      text.replace(at, 8, home);
    }
    return text;
  };
  // get --clip reaches a fake clipboard.
  write_fake_clipboard(dir.file("clipboard"));
  // edit runs a fake editor that appends a line, its folder in /dev/shm.
  write_fake_editor(dir.file("editor"));
  std::map<std::string, std::string> env{
      {"HOME", home},
      {"EDITOR", dir.file("editor") + " append"},
      {"VISUAL", ""},
      {"XDG_RUNTIME_DIR", ""},
      {"WAYLAND_DISPLAY", "wayland-tour"},
      {"PATH", dir.file("clipboard") + ":" +
                   std::filesystem::path(tool_path()).parent_path().string() + ":/usr/bin:/bin"}};
  std::string password = kPassword;
  for (const Step& step : steps) {
    if (step.command.rfind("unset ", 0) == 0) {  // unset NAME
      env.erase(step.command.substr(6, step.command.find(' ', 6) - 6));
      continue;
    }
    if (step.command.rfind("export ", 0) == 0) {  // export NAME=~/PATH
      const std::string assignment = step.command.substr(7, step.command.find(' ', 7) - 7);
      const std::size_t equals = assignment.find('=');
      std::string value = assignment.substr(equals + 1);
      if (value.rfind("~/", 0) == 0) value = home + value.substr(1);
      env[assignment.substr(0, equals)] = value;
      continue;
    }
    ToolRun run;
    run.program = "/bin/bash";
    run.args = {"-c", "cd \"$HOME\" && " + step.command};
    run.env = env;
    run.with_terminal = true;
    // A "New password" after the store's password is a change of password.
    std::string typed_new = password;
    std::vector<std::string> prompts, lines;
    for (const std::string& line : step.shown) {
      const std::string shown = at_home(line);
      for (const auto& [prompt, answer] : std::vector<std::pair<std::string, std::string>>{
               {"Password for ", password},
               {"New password for ", prompts.empty() ? password : kOtherPassword},
               {"Repeat it:", typed_new}}) {
        if (shown.rfind(prompt, 0) != 0) continue;
        if (prompt == "New password for ") typed_new = answer;
        run.dialogue.push_back({shown, answer + "\n"});
        prompts.push_back(shown);
      }
      if (prompts.empty() || prompts.back() != shown) lines.push_back(shown);
    }
    const ToolResult result = run_tool(run);
    EXPECT_EQ(result.status, 0) << step.command << "\n" << result.err << result.terminal;
    std::vector<std::string> printed;
    std::istringstream both(result.out + result.err);
    for (std::string line; std::getline(both, line);) printed.push_back(line);
    // Standard output and standard error are two streams: compare the lines,
    // not their interleaving.
    std::sort(printed.begin(), printed.end());
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(printed, lines) << step.command;
    std::size_t seen = 0;
    for (const std::string& prompt : prompts) {
      const std::size_t at = result.terminal.find(prompt, seen);
      EXPECT_NE(at, std::string::npos) << step.command << ": no prompt " << prompt;
      if (at != std::string::npos) seen = at + prompt.size();
    }
    password = typed_new;
  }
  EXPECT_EQ(read_file(home + "/restored_key"), read_file(home + "/.ssh/id_ed25519"));
  EXPECT_EQ(read_file(dir.file("clipboard") + "/clip"), "hunter2");
}

TEST_F(RoundTrip, EverySubcommandOnOneStore) {
  const ToolResult created = tool({"create", "--kdf-memory", "19", "--kdf-passes", "2"});
  ASSERT_EQ(created.status, kOk) << created.err;
  EXPECT_EQ(created.out, "");
  EXPECT_NE(created.err.find(store_file), std::string::npos) << created.err;
  EXPECT_NE(tool({"check"}).out.find("\nformat 3: Argon2id with 19 MiB, 2 passes, 4 lanes\n"),
            std::string::npos);
  // An empty store: header only, with one password slot.
  EXPECT_EQ(read_file(store_file).size(), 52u + 257);

  EXPECT_EQ(tool({"verify"}).status, kOk);

  // Binary values: every byte value, zero bytes in the middle and at the
  // end, a trailing line end that must be kept as it is.
  const std::string binary = pattern_bytes(1000, 7) + std::string(3, '\0');
  add("beta", binary);
  add("alpha", "line\n");
  const std::string imported = pattern_bytes(4096, 11);
  write_file(dir.file("input.bin"), imported);
  const ToolResult from_file = tool({"add", "gamma", "--file", dir.file("input.bin")});
  ASSERT_EQ(from_file.status, kOk) << from_file.err;

  const ToolResult listed = tool({"ls"});
  EXPECT_EQ(listed.status, kOk);
  EXPECT_EQ(listed.out, "alpha\nbeta\ngamma\n");

  const ToolResult got = tool({"get", "beta"});
  EXPECT_EQ(got.status, kOk) << got.err;
  EXPECT_EQ(got.out, binary);
  EXPECT_EQ(got.err.find(binary.substr(256, 64)), std::string::npos);
  EXPECT_EQ(tool({"get", "alpha"}).out, "line\n");
  EXPECT_EQ(tool({"get", "gamma"}).out, imported);

  EXPECT_EQ(tool({"exists", "gamma"}).status, kOk);
  EXPECT_EQ(tool({"exists", "delta"}).status, kFalse);

  const ToolResult removed = tool({"rm", "alpha"});
  EXPECT_EQ(removed.status, kOk) << removed.err;
  EXPECT_EQ(removed.out, "");
  // The library keeps the file as it was before the removal.
  EXPECT_EQ(files(), (std::vector<std::string>{"input.bin", "password", "vault.safe",
                                               "vault.safe.backup2"}));
  EXPECT_EQ(tool({"exists", "alpha"}).status, kFalse);
  EXPECT_EQ(tool({"ls"}).out, "beta\ngamma\n");
  EXPECT_EQ(tool({"get", "beta"}).out, binary);

  const ToolResult gone = tool({"get", "alpha"});
  EXPECT_EQ(gone.status, kNotFound);
  EXPECT_EQ(gone.out, "");
  EXPECT_NE(gone.err.find("no entry 'alpha'"), std::string::npos) << gone.err;

  const ToolResult dropped = tool({"rm", "beta", "--drop-backup"});
  EXPECT_EQ(dropped.status, kOk) << dropped.err;
  EXPECT_EQ(files(), (std::vector<std::string>{"input.bin", "password", "vault.safe"}));
  EXPECT_EQ(tool({"ls"}).out, "gamma\n");
  EXPECT_EQ(tool({"rm", "beta"}).status, kNotFound);
}

// The batch mode of kel-safe shell runs each line as the one-shot program
// would run it, on one open store: the same output bytes, notes and exit
// statuses, framed.
TEST_F(RoundTrip, ShellBatchAnswersAsTheProgram) {
  create_store();
  const std::string binary = pattern_bytes(700, 3) + "\n";
  add("alpha", binary);
  add("two words", "spaced");
  const std::vector<std::vector<std::string>> lines = {
      {"get", "alpha"},        {"get", "two words"},  {"ls", "-l"},
      {"exists", "alpha"},     {"exists", "nope"},    {"get", "nope"},
      {"get", "--json", "alpha", "two words"},        {"check"},
      {"bogus"},               {"get"},               {"ls", "--json", "--null"},
      {"version"},             {"cp", "alpha", "beta"}, {"rm", "beta"}};
  std::string input = "# comments and blank lines get no frame\n\n";
  for (const auto& words : lines) {
    for (const std::string& word : words) input += "'" + word + "' ";
    input += "\n";
  }
  const ToolResult batch = tool({"shell"}, input);
  ASSERT_EQ(batch.status, kOk) << batch.err;
  EXPECT_EQ(batch.err, "");
  const std::vector<Frame> frames = parse_frames(batch.out);
  ASSERT_EQ(frames.size(), lines.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const ToolResult one = tool(lines[i]);
    EXPECT_EQ(frames[i].status, one.status) << lines[i][0];
    EXPECT_EQ(frames[i].out, one.out) << lines[i][0];
    if (lines[i][0] != "bogus") {
      EXPECT_EQ(frames[i].notes, one.err) << lines[i][0];
    }
  }
  EXPECT_EQ(frames[0].out, binary);
}

// What only a session has: values in the input, quoting, refusals, lock
// and exit; and no frame at all when the password does not open the store.
TEST_F(RoundTrip, ShellBatchValuesQuotingAndRefusals) {
  create_store();
  const std::string value = pattern_bytes(300, 5);  // line ends and zero bytes
  write_file(dir.file("in.txt"), "from a file");
  const std::string input =
      "value " + std::to_string(value.size()) + "\n" + value +
      "add \"it's \\\"quoted\\\"\"\n"  // add "it's \"quoted\""
      "get it\\'s\\ '\"quoted\"'\n"        // the same name, quoted otherwise
      "add plain\n"                           // no value given
      "value 3\nxyz\nls\n"                   // a value is for the next command only
      "add plain\n"
      "add f --file " + dir.file("in.txt") + "\nget f\n"
      "import --env -\ncreate\nverify\npasswd\nrun -- true\n-s other ls\n"
      "get 'open quote\n"
      "lock\nls\nexit\nls\n";
  const ToolResult batch = tool({"shell"}, input);
  ASSERT_EQ(batch.status, kOk) << batch.err;
  const std::vector<Frame> frames = parse_frames(batch.out);
  ASSERT_EQ(frames.size(), 16u) << batch.out;  // none after exit
  const std::vector<int> statuses = {kOk, kOk, kUsage, kOk, kUsage, kOk, kOk, kUsage, kUsage,
                                     kUsage, kUsage, kUsage, kUsage, kUsage, kOk, kOk};
  for (std::size_t i = 0; i < statuses.size(); ++i) {
    EXPECT_EQ(frames[i].status, statuses[i]) << i << ": " << frames[i].notes;
  }
  EXPECT_EQ(frames[1].out, value);
  EXPECT_NE(frames[2].notes.find("no value"), std::string::npos) << frames[2].notes;
  EXPECT_EQ(frames[3].out, "it's \"quoted\"\n");
  EXPECT_NE(frames[4].notes.find("no value"), std::string::npos) << frames[4].notes;
  EXPECT_EQ(frames[6].out, "from a file");
  EXPECT_NE(frames[10].notes.find("passwd: not inside a session"), std::string::npos);
  EXPECT_NE(frames[13].notes.find("unterminated"), std::string::npos);
  EXPECT_EQ(frames[15].out, "f\nit's \"quoted\"\n");  // opened again after lock
  EXPECT_EQ(tool({"get", "it's \"quoted\""}).out, value);

  // A word the notes echo (an unknown command; names in a library message)
  // comes back with its zero and control bytes shown as \xHH, never raw.
  const std::string controls("bog\0us\x07\nrm 'x\x1b[2J' 'y\0'\nget --json 'p\x1bq' r\n", 43);
  const std::vector<Frame> echoed = parse_frames(tool({"shell"}, controls).out);
  ASSERT_EQ(echoed.size(), 3u);
  EXPECT_NE(echoed[0].notes.find("bog\\x00us\\x07"), std::string::npos) << echoed[0].notes;
  EXPECT_NE(echoed[1].notes.find("x\\x1b[2J"), std::string::npos) << echoed[1].notes;
  for (const Frame& frame : echoed) {
    EXPECT_NE(frame.status, kOk);
    for (const char c : frame.notes) {
      EXPECT_TRUE(c == '\n' || (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f))
          << frame.notes;
    }
  }

  // Help, usage and suggestions in a session offer only what it takes.
  const std::vector<Frame> helped =
      parse_frames(tool({"shell"}, "help\nhelp ls\nbogus\n__commands\n").out);
  ASSERT_EQ(helped.size(), 4u);
  for (const char* listed : {"\n  lock ", "\n  exit ", "\n  help ", "\n  get "}) {
    EXPECT_NE(helped[0].out.find(listed), std::string::npos) << listed << helped[0].out;
  }
  for (const char* refused :
       {"\n  passwd ", "\n  shell ", "\n  create ", "KEL_SAFE_PASSWORD", "__commands"}) {
    EXPECT_EQ(helped[0].out.find(refused), std::string::npos) << refused << helped[0].out;
  }
  EXPECT_NE(helped[1].out.find("Usage: kel-safe ls"), std::string::npos) << helped[1].out;
  EXPECT_EQ(helped[2].notes,
            "kel-safe: unknown subcommand 'bogus' (the subcommands are: slots, add, get, edit, "
            "exists, ls, find, otp, mv, cp, rm, merge, version, check, repair, export, import, "
            "generate, lock, exit, help)\n");
  EXPECT_EQ(helped[3].status, kUsage);  // the hidden listing is the program's, not a line's
  EXPECT_EQ(helped[3].out, "");

  ToolRun wrong;
  wrong.args = {"-s", store, "shell"};
  wrong.env = {{"KEL_SAFE_PASSWORD", "Not-The-Passw0rd-At-All"}};
  wrong.input = "ls\n";
  const ToolResult refused = run_tool(wrong);
  EXPECT_EQ(refused.status, kWrongPassword);
  EXPECT_EQ(refused.out, "");

  // A lock forgets the password from KEL_SAFE_PASSWORD: with no terminal to
  // ask on, the next command is refused and says why.
  ToolRun locked;
  locked.args = {"-s", store, "shell"};
  locked.env = {{"KEL_SAFE_PASSWORD", kPassword}};
  locked.input = "ls\nlock\nls\n";
  const std::vector<Frame> relocked = parse_frames(run_tool(locked).out);
  ASSERT_EQ(relocked.size(), 3u);
  EXPECT_EQ(relocked[0].status, kOk) << relocked[0].notes;
  EXPECT_EQ(relocked[2].status, kUsage);
  EXPECT_EQ(relocked[2].out, "");
  EXPECT_NE(relocked[2].notes.find("not kept past a lock"), std::string::npos)
      << relocked[2].notes;

  // A claimed value length sizes nothing before its bytes come: a claim of
  // 4 GiB that the input never fills is refused without taking that memory.
  const ToolResult claimed = tool({"shell"}, "value 4294967295\nonly these bytes");
  EXPECT_EQ(claimed.status, kUsage) << claimed.err;
  EXPECT_NE(claimed.err.find("ended inside a value block"), std::string::npos) << claimed.err;
  struct rusage usage {};
  ASSERT_EQ(getrusage(RUSAGE_CHILDREN, &usage), 0);
  EXPECT_LT(usage.ru_maxrss, 256 * 1024) << "KiB at most, for a claim of 4 GiB";
}

// A batch follows the store file: when another store (another key) takes
// its place between two commands, the session locks and opens the file
// anew, so what it adds there is sealed with that file's own key.
TEST_F(RoundTrip, ShellBatchFollowsAStorePutInItsPlace) {
  create_store();
  add("old", "in the first store");
  create_store_on(dir.file("other"));
  // The store is replaced once the first frame (three lines) has come.
  ToolRun run;
  run.program = "/bin/sh";
  run.args = {"-c", R"(mkfifo "$1/in" "$1/out" || exit 9
"$2" -s "$3" --password-file "$4" shell <"$1/in" >"$1/out" &
exec 3>"$1/in" 4<"$1/out"
echo 'exists old' >&3
for line in 1 2 3; do read -r text <&4; echo "$text"; done
mv "$1/other.safe" "$3.safe"
printf 'value 3\nnew\nadd new\nls\n' >&3
exec 3>&-
cat <&4
wait $!)",
              "sh", dir.path().string(), tool_path(), store, password_file};
  const ToolResult batch = run_tool(run);
  ASSERT_EQ(batch.status, kOk) << batch.err;
  const std::vector<Frame> frames = parse_frames(batch.out);
  ASSERT_EQ(frames.size(), 3u) << batch.out;
  EXPECT_NE(frames[1].notes.find("another file took its place: locked"), std::string::npos)
      << frames[1].notes;
  EXPECT_EQ(frames[2].out, "new\n");
  EXPECT_EQ(tool({"get", "new"}).out, "new");
  EXPECT_EQ(tool({"check"}).status, kOk);
}

// Rotation and reorganisation: each of these is one rewrite, names where
// the backup is, and keeps it unless told otherwise.
TEST_F(RoundTrip, ReplaceRenameCopyAndRemoveMany) {
  create_store();
  add("mail", "old secret");
  add("token", "t0k3n");
  const std::string backup = store_file + ".backup2";

  const ToolResult replaced = tool({"add", "mail", "--replace"}, "new secret");
  ASSERT_EQ(replaced.status, kOk) << replaced.err;
  EXPECT_NE(replaced.err.find(backup), std::string::npos) << replaced.err;
  EXPECT_EQ(tool({"get", "mail"}).out, "new secret");
  EXPECT_EQ(tool({"add", "mail"}, "again").status, kExists);
  EXPECT_EQ(tool({"add", "absent", "--replace"}, "v").status, kNotFound);
  EXPECT_EQ(tool({"add", "absent", "--replace", "--replace-or-add"}, "v").status, kUsage);
  const ToolResult or_added = tool({"add", "absent", "--replace-or-add"}, "added");
  ASSERT_EQ(or_added.status, kOk) << or_added.err;
  EXPECT_NE(or_added.err.find("which does not hold 'absent' yet, is kept"), std::string::npos)
      << or_added.err;
  EXPECT_EQ(tool({"get", "absent"}).out, "added");
  const std::string imported = pattern_bytes(5000, 3);
  write_file(dir.file("input.bin"), imported);
  ASSERT_EQ(tool({"add", "token", "--replace", "--file", dir.file("input.bin")}).status, kOk);
  EXPECT_EQ(tool({"get", "token"}).out, imported);

  const ToolResult moved = tool({"mv", "mail", "mail-old"});
  ASSERT_EQ(moved.status, kOk) << moved.err;
  EXPECT_NE(moved.err.find(backup), std::string::npos) << moved.err;
  EXPECT_EQ(tool({"exists", "mail"}).status, kFalse);
  EXPECT_EQ(tool({"get", "mail-old"}).out, "new secret");
  EXPECT_EQ(tool({"mv", "token", "absent"}).status, kExists);
  EXPECT_EQ(tool({"mv", "nothing", "else"}).status, kNotFound);
  ASSERT_EQ(tool({"cp", "token", "token-copy"}).status, kOk);
  EXPECT_EQ(tool({"get", "token-copy"}).out, imported);
  EXPECT_EQ(tool({"cp", "token", "mail-old"}).status, kExists);

  // All or nothing: one missing name and nothing is removed.
  const ToolResult refused = tool({"rm", "mail-old", "nothing", "token"});
  EXPECT_EQ(refused.status, kNotFound);
  EXPECT_NE(refused.err.find("nothing"), std::string::npos) << refused.err;
  EXPECT_EQ(tool({"ls"}).out, "absent\nmail-old\ntoken\ntoken-copy\n");
  const ToolResult removed = tool({"rm", "mail-old", "token", "--drop-backup"});
  ASSERT_EQ(removed.status, kOk) << removed.err;
  EXPECT_EQ(tool({"ls"}).out, "absent\ntoken-copy\n");
  EXPECT_EQ(files(), (std::vector<std::string>{"input.bin", "password", "vault.safe"}));
}

TEST_F(RoundTrip, VersionNamesToolAndLibrary) {
  ToolRun run;
  run.args = {"version"};
  const ToolResult result = run_tool(run);
  EXPECT_EQ(result.status, kOk);
  EXPECT_EQ(result.out, "kel-safe 1.0.0\nlibkel-safe 1.0.0\n");
  run.args = {"--version"};
  EXPECT_EQ(run_tool(run).out, "kel-safe 1.0.0\n");
}

TEST_F(RoundTrip, ListingFormatsForScripts) {
  create_store();
  // Byte order sorts upper case first; names may hold any byte.
  add("b", "1");
  add("a\"q\\", "1");
  add("Zeta", "1");
  add("caf\xc3\xa9", "1");        // valid UTF-8 passes through
  add("bad\xff", "1");            // not UTF-8: U+FFFD
  add(std::string("tab\tnl\n"), "1");

  const std::vector<std::string> sorted = {
      "Zeta", "a\"q\\", "b", "bad\xff", "caf\xc3\xa9", "tab\tnl\n"};
  std::string lines;
  std::string zero_ended;
  for (const std::string& name : sorted) {
    lines += name + '\n';
    zero_ended += name + '\0';
  }
  EXPECT_EQ(tool({"ls"}).out, lines);
  EXPECT_EQ(tool({"ls", "-0"}).out, zero_ended);
  EXPECT_EQ(tool({"ls", "--json"}).out,
            "[\"Zeta\",\"a\\\"q\\\\\",\"b\",\"bad\xef\xbf\xbd\",\"caf\xc3\xa9\","
            "\"tab\\u0009nl\\u000a\"]\n");
  // Under a prefix, and with the lengths of the values.
  add("bar/x", "12345");
  EXPECT_EQ(tool({"ls", "ba"}).out, "bad\xff\nbar/x\n");
  EXPECT_EQ(tool({"ls", "--long", "ba"}).out, "1\tbad\xff\n5\tbar/x\n");
  EXPECT_EQ(tool({"ls", "-l", "-0", "bar/"}).out, std::string("5\tbar/x\0", 8));
  EXPECT_EQ(tool({"ls", "-l", "--json", "b"}).out,
            "[{\"name\":\"b\",\"length\":1},{\"name\":\"bad\xef\xbf\xbd\",\"length\":1},"
            "{\"name\":\"bar/x\",\"length\":5}]\n");
  EXPECT_EQ(tool({"ls", "nothing"}).out, "");
  // Escaped as on a terminal (-b): what could act on one, in $'...'.
  EXPECT_EQ(tool({"ls", "-b", "ba"}).out, "$'bad\\xff'\nbar/x\n");
  EXPECT_EQ(tool({"ls", "--escape", "-l", "t"}).out, "1\t$'tab\\x09nl\\x0a'\n");
  // A name written as the quoted form of another is quoted itself.
  add("$'\\x01'", "1");
  EXPECT_EQ(tool({"ls", "-b", "$"}).out, "$'$\\'\\\\x01\\''\n");
  add("c1\xc2\x9b", "1");  // a C1 control (CSI) in UTF-8
  EXPECT_EQ(tool({"ls", "--json", "c1"}).out, "[\"c1\\u009b\"]\n");
}

// An export ended by a signal (Ctrl-C, a kill, a hang-up) leaves none of
// the plain-text files it wrote. The export runs traced, one system call at
// a time, until the second file exists; then the signal is sent.
TEST_F(RoundTrip, ExportToADirectoryEndedByASignalLeavesNothing) {
  create_store();
  add("a", "first secret");
  add("b/c", "second secret");
  add("d", "third secret");
  const std::string out_dir = dir.file("exported");
  const std::string second = out_dir + "/b/c";
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
    struct stat info {};
    const int status = run_traced(
        {"-s", store, "--password-file", password_file, "export", "--yes", "--dir", out_dir},
        [&](pid_t) { return stat(second.c_str(), &info) == 0; },
        [&](pid_t child) { kill(child, sig); });
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << sig << ": " << status;
    EXPECT_FALSE(std::filesystem::exists(out_dir)) << sig;
    std::filesystem::remove_all(out_dir);
  }
}

// The README's recipe for coming from pass, run as printed with a stand-in
// for pass and the test's own directory for /dev/shm: the secrets arrive
// (an empty one left out), and the plain-text copy is gone afterwards,
// also when a `pass show` or the import fails.
TEST_F(RoundTrip, TheComingFromPassRecipeLeavesNoPlainText) {
  namespace fs = std::filesystem;
  const std::string readme = read_file(std::string(KEL_SAFE_SOURCE_DIR) + "/README.md");
  const std::size_t at = readme.find("```sh\n", readme.find("**Coming from pass**"));
  ASSERT_NE(at, std::string::npos);
  std::istringstream block(readme.substr(at + 6, readme.find("```\n", at + 6) - at - 6));
  std::string recipe;
  for (std::string line; std::getline(block, line);) {
    line.erase(0, line.find_first_not_of(' '));
    if (line.rfind("$ ", 0) == 0) line.erase(0, 2);
    for (std::size_t shm; (shm = line.find("/dev/shm")) != std::string::npos;) {
      line.replace(shm, 8, dir.file("shm"));
    }
    recipe += line + "\n";
  }
  const std::string pass_store = dir.file("home/.password-store");
  fs::create_directories(pass_store + "/web");
  fs::create_directories(dir.file("shm"));
  for (const char* file : {"a.gpg", "web/mail.gpg", "empty.gpg", ".gpg-id"}) {
    write_file(pass_store + "/" + file, "encrypted");
  }
  const auto run_recipe = [&](const std::string& empty_show, const std::string& password) {
    write_file(dir.file("pass"), "#!/bin/sh\ncase $2 in a) echo one;; web/mail) echo two;; "
                                 "empty) " + empty_show + ";; esac\n");
    chmod(dir.file("pass").c_str(), 0700);
    ToolRun run;
    run.program = "/bin/bash";
    run.args = {"-c", recipe};
    run.env = {{"HOME", dir.file("home")},
               {"PATH", dir.path().string() + ":" + fs::path(tool_path()).parent_path().string() +
                            ":/usr/bin:/bin"},
               {"KEL_SAFE_STORE", store},
               {"KEL_SAFE_PASSWORD", password}};
    const ToolResult result = run_tool(run);
    EXPECT_TRUE(fs::is_empty(dir.file("shm"))) << "plain text left behind";
    return result;
  };
  create_store();
  for (const auto& [empty_show, password] :
       {std::pair{"exit 3", kPassword}, std::pair{"true", kOtherPassword}}) {
    const ToolResult failed = run_recipe(empty_show, password);
    EXPECT_NE(failed.status, kOk) << failed.err;
    EXPECT_EQ(tool({"ls"}).out, "");
  }
  const ToolResult moved = run_recipe("true", kPassword);
  EXPECT_EQ(moved.status, kOk) << moved.err;
  EXPECT_NE(moved.err.find("skipped 'empty'"), std::string::npos) << moved.err;
  EXPECT_EQ(tool({"get", "web/mail"}).out, "two\n");
  EXPECT_EQ(tool({"ls"}).out, "a\nweb/mail\n");
}

// A directory is imported all or nothing, and no file is read through a
// link: not even through a directory swapped for one after the walk (done
// here while the first file is open), which would lead outside the tree.
// A pass store is refused: its files are encrypted.
TEST_F(RoundTrip, ImportOfADirectoryIsAllOrNothing) {
  namespace fs = std::filesystem;
  create_store();
  add("kept", "k");
  const std::string tree = dir.file("tree");
  fs::create_directories(tree + "/sub");
  write_file(tree + "/a", "one");
  write_file(tree + "/sub/key", "inside");
  fs::create_directory(dir.file("outside"));
  write_file(dir.file("outside/key"), "victim's secret");
  const int status = run_traced(
      {"-s", store, "--password-file", password_file, "import", "--dir", tree},
      [&](pid_t child) { return has_open(child, fs::canonical(tree + "/a")); },
      [&](pid_t) {
        fs::rename(tree + "/sub", dir.file("sub-moved"));
        fs::create_directory_symlink(dir.file("outside"), tree + "/sub");
      });
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == kFileError) << status;
  EXPECT_EQ(tool({"ls"}).out, "kept\n");
  fs::remove(tree + "/sub");
  fs::rename(dir.file("sub-moved"), tree + "/sub");

  for (const std::string marker : {".gpg-id", "web/mail.gpg", ".git/HEAD"}) {
    fs::create_directories(fs::path(tree + "/" + marker).parent_path());
    write_file(tree + "/" + marker, "x");
    const ToolResult refused = tool({"import", "--dir", tree});
    EXPECT_EQ(refused.status, kRejected) << marker << refused.err;
    EXPECT_NE(refused.err.find("\"Coming from pass\""), std::string::npos) << refused.err;
    fs::remove_all(tree + "/" + marker.substr(0, marker.find('/')));
  }
  write_file(tree + "/empty", "");
  const ToolResult imported = tool({"import", "--dir", tree});
  EXPECT_EQ(imported.status, kOk) << imported.err;
  EXPECT_NE(imported.err.find("skipped 'empty': its value is empty"), std::string::npos)
      << imported.err;
  EXPECT_EQ(tool({"ls"}).out, "a\nkept\nsub/key\n");

  // A tree deeper than any entry name can be is refused where the names
  // outgrow 255 bytes, not walked down to its end with a descriptor held
  // per level.
  const std::string deep = dir.file("deep");
  std::string level = deep;
  for (int depth = 0; depth < 30; ++depth) fs::create_directories(level += "/" + std::string(100, 'd'));
  write_file(level + "/f", "x");
  ToolRun walk_deep;
  walk_deep.args = {"-s", store, "--password-file", password_file, "import", "--dir", deep};
  walk_deep.open_files_limit = 48;
  const ToolResult too_deep = run_tool(walk_deep);
  EXPECT_EQ(too_deep.status, kRejected) << too_deep.err;
  EXPECT_NE(too_deep.err.find(" are longer than 255 bytes"), std::string::npos) << too_deep.err;

  // A file replaced by another between the check and its batch (here while
  // the password is asked) stops the import there, and the message says
  // what the batches before it added.
  if (have_pseudo_terminals()) {
    const std::string late = dir.file("late");
    fs::create_directory(late);
    write_file(late + "/x1", "one");
    write_file(late + "/x2", pattern_bytes((16 << 20) + 1, 6));
    write_file(late + "/x3", "three");
    ToolRun typed;
    typed.args = {"-s", store, "import", "--dir", late};
    typed.with_terminal = true;
    typed.dialogue = {{"Password for", kPassword + "\n"}};
    typed.at_prompt = [&](std::size_t, pid_t, int) {
      write_file(late + "/new", "swapped");
      fs::rename(late + "/new", late + "/x3");
    };
    const ToolResult stopped = run_tool(typed);
    EXPECT_EQ(stopped.status, kFileError) << stopped.err;
    EXPECT_NE(stopped.err.find("2 entries were added or replaced before it and stay so"), std::string::npos)
        << stopped.err;
    EXPECT_EQ(tool({"ls"}).out, "a\nkept\nsub/key\nx1\nx2\n");
  }

  // A file the user cannot read, after two readable ones (the second
  // streamed on its own), refuses the whole import. Run as an ordinary
  // user, whom file modes bind, in a directory of that user's.
  const std::string own = dir.file("own");
  fs::create_directories(own + "/tree");
  write_file(own + "/tree/a", "one");
  write_file(own + "/tree/b", pattern_bytes((16 << 20) + 1, 5));
  write_file(own + "/tree/c", "unreadable");
  fs::permissions(own + "/tree/c", fs::perms::none);
  fs::permissions(dir.path(), fs::perms::others_exec, fs::perm_options::add);
  for (const auto& entry : fs::recursive_directory_iterator(own)) {
    ASSERT_TRUE(geteuid() != 0 || lchown(entry.path().c_str(), 65534, 65534) == 0);
  }
  ASSERT_TRUE(geteuid() != 0 || lchown(own.c_str(), 65534, 65534) == 0);
  const auto as_user = [&](std::vector<std::string> args) {
    ToolRun run;
    run.args = {"-s", own + "/s", "--password-fd", "3"};
    run.args.insert(run.args.end(), args.begin(), args.end());
    run.fds[3] = kPassword + "\n";
    run.drop_root = true;
    return run_tool(run);
  };
  ASSERT_EQ(as_user(create_args(2)).status, kOk);
  const ToolResult unreadable = as_user({"import", "--dir", own + "/tree"});
  EXPECT_EQ(unreadable.status, kFileError) << unreadable.err;
  EXPECT_NE(unreadable.err.find("/tree/c'"), std::string::npos) << unreadable.err;
  EXPECT_EQ(tool_on(own + "/s", {"ls"}).out, "");
}

// Export in each form, import into a new store: every value comes back byte
// for byte; a second import skips, or with --replace replaces.
TEST_F(RoundTrip, ExportAndImportInEveryForm) {
  create_store();
  const std::map<std::string, std::string> text = {
      {"lines", "one\n'two' \"three\" $HOME ${X} \\ \r\n\ttab"},
      {"utf8", "h\xc3\xa9llo w\xc3\xb6rld \xe2\x82\xac"},
      {"quote", "it's"},
      {"tick", "it's `echo ran` $(echo ran)"},
      {"p", "p"}};
  std::map<std::string, std::string> all = text;
  all["binary"] = pattern_bytes(600, 3) + std::string(1, '\0');  // not UTF-8
  all["dir/sub/x"] = "nested";
  for (const auto& [name, value] : all) add(name, value);

  const auto same_values = [&](const std::string& other,
                               const std::map<std::string, std::string>& expected) {
    std::string lines;
    for (const auto& [name, value] : expected) {
      lines += name + "\n";
      const ToolResult got = tool_on(other, {"get", name});
      EXPECT_EQ(got.status, kOk) << other << " " << name << got.err;
      EXPECT_EQ(got.out, value) << other << " " << name;
    }
    EXPECT_EQ(tool_on(other, {"ls"}).out, lines) << other;
  };
  const auto fresh = [&](const std::string& name) {
    const std::string other = dir.file(name);
    create_store_on(other);
    return other;
  };

  const ToolResult json = tool({"export", "--json"});
  ASSERT_EQ(json.status, kOk) << json.err;
  EXPECT_NE(json.out.find("\"utf8\": \"h\xc3\xa9llo w\xc3\xb6rld \xe2\x82\xac\""),
            std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"binary\": {\n    \"base64\": \"AAECAwQF"), std::string::npos);
  const std::string from_json = fresh("from-json");
  const ToolResult imported = tool_on(from_json, {"import", "--json", "-"}, json.out);
  ASSERT_EQ(imported.status, kOk) << imported.err;
  EXPECT_NE(imported.err.find("added 'binary'"), std::string::npos) << imported.err;
  // The store held nothing before: no backup is kept, nor named.
  EXPECT_EQ(imported.err.find("is kept as"), std::string::npos) << imported.err;
  EXPECT_FALSE(std::filesystem::exists(from_json + ".safe.backup2"));
  same_values(from_json, all);
  EXPECT_EQ(tool_on(from_json, {"export", "--json"}).out, json.out);

  // Again: every name is stored already.
  const ToolResult again = tool_on(from_json, {"import", "--json", "-"}, json.out);
  EXPECT_EQ(again.status, kOk) << again.err;
  EXPECT_NE(again.err.find("skipped 'p'"), std::string::npos) << again.err;
  // Into a store that held entries, the backup is kept and named.
  const ToolResult more = tool_on(from_json, {"import", "--json", "-"}, R"({"more": "m"})");
  EXPECT_NE(more.err.find("holds the store as it was before the import, is kept as '" +
                          from_json + ".safe.backup2'"),
            std::string::npos) << more.err;
  ASSERT_EQ(tool_on(from_json, {"rm", "--drop-backup", "more"}).status, kOk);
  const ToolResult replaced =
      tool_on(from_json, {"import", "--json", "-", "--replace"}, "{\"p\": \"new\"}");
  EXPECT_EQ(replaced.status, kOk) << replaced.err;
  EXPECT_NE(replaced.err.find("replaced 'p'"), std::string::npos) << replaced.err;
  EXPECT_EQ(tool_on(from_json, {"get", "p"}).out, "new");

  // Several values in one get, in the same forms.
  const ToolResult some = tool({"get", "--json", "utf8", "binary"});
  ASSERT_EQ(some.status, kOk) << some.err;
  EXPECT_EQ(some.out.substr(0, 28), "{\n  \"binary\": {\n    \"base64\"");
  EXPECT_NE(some.out.find("\n  \"utf8\": \"h\xc3\xa9llo"), std::string::npos) << some.out;
  EXPECT_EQ(some.out.find("\"p\""), std::string::npos);
  const ToolResult as_env =
      tool({"get", "--env", "p", "utf8", "--as", "X=dir/sub/x", "--as", "Y=dir/sub/x"});
  EXPECT_EQ(as_env.status, kOk) << as_env.err;
  EXPECT_EQ(as_env.out, "p='p'\nutf8='" + text.at("utf8") + "'\nX='nested'\nY='nested'\n");
  for (const auto& [args, status] : std::vector<std::pair<std::vector<std::string>, int>>{
           {{"get", "p", "quote"}, kUsage},                  // raw bytes: one value only
           {{"get", "--env", "dir/sub/x"}, kRejected},       // no variable name
           {{"get", "--env", "p", "quote"}, kRejected},      // a ' cannot be quoted
           {{"get", "--env", "binary"}, kRejected},          // a zero byte
           {{"get", "--json", "p", "absent"}, kNotFound}}) {
    const ToolResult refused = tool(args);
    EXPECT_EQ(refused.status, status) << testing::PrintToString(args) << refused.err;
    EXPECT_EQ(refused.out, "") << testing::PrintToString(args);
  }

  // dotenv cannot hold a zero byte, nor a name that is no variable name.
  for (const char* prefix : {"", "binary", "dir"}) {
    const ToolResult refused = tool({"export", "--env", "--prefix", prefix});
    EXPECT_EQ(refused.status, kRejected) << prefix;
    EXPECT_EQ(refused.out, "") << prefix;
  }
  // --prefix P: the entries under P, each under the rest of its name, in
  // every form, as run names its variables.
  for (const auto& [args, out] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"export", "--env", "--prefix", "dir/sub/"}, "x='nested'\n"},
           {{"export", "--json", "--prefix", "dir/"}, "{\n  \"sub/x\": \"nested\"\n}\n"}}) {
    const ToolResult below = tool(args);
    EXPECT_EQ(below.status, kOk) << testing::PrintToString(args) << below.err;
    EXPECT_EQ(below.out, out) << testing::PrintToString(args);
  }
  ASSERT_EQ(tool({"export", "--dir", dir.file("below"), "--prefix", "dir/"}).status, kOk);
  EXPECT_EQ(read_file(dir.file("below") + "/sub/x"), "nested");
  // What dotenv lines can hold comes back; see DotenvReadsBackAsWritten.
  const std::string env_store = fresh("env-source");
  std::map<std::string, std::string> env_text = text;
  for (const char* unquotable : {"lines", "quote", "tick"}) env_text.erase(unquotable);
  for (const auto& [name, value] : env_text) {
    ASSERT_EQ(tool_on(env_store, {"add", name}, value).status, kOk);
  }
  const ToolResult env = tool_on(env_store, {"export", "--env"});
  ASSERT_EQ(env.status, kOk) << env.err;
  EXPECT_EQ(env.out, "p='p'\nutf8='" + text.at("utf8") + "'\n");
  write_file(dir.file("export.env"), env.out);
  const std::string from_env = fresh("from-env");
  ASSERT_EQ(tool_on(from_env, {"import", "--env", dir.file("export.env")}).status, kOk);
  same_values(from_env, env_text);
  // What people write by hand reads too.
  const ToolResult hand = tool_on(
      from_env, {"import", "--env", "-"},
      "# comment\n\nexport A = plain value  # note\nB=\"x\\ty\"\nC='a\nb'\n");
  ASSERT_EQ(hand.status, kOk) << hand.err;
  EXPECT_EQ(tool_on(from_env, {"get", "A"}).out, "plain value");
  EXPECT_EQ(tool_on(from_env, {"get", "B"}).out, "x\ty");
  EXPECT_EQ(tool_on(from_env, {"get", "C"}).out, "a\nb");
  // Empty values are left out, each named, and counted; the rest is added.
  const ToolResult empties = tool_on(from_env, {"import", "--env", "-"}, "E=\nF=''\nG=g\n");
  ASSERT_EQ(empties.status, kOk) << empties.err;
  EXPECT_NE(empties.err.find("skipped 'E': its value is empty"), std::string::npos)
      << empties.err;
  EXPECT_NE(empties.err.find("skipped 'F': its value is empty"), std::string::npos)
      << empties.err;
  EXPECT_NE(empties.err.find("1 added, 0 replaced, 0 skipped, 2 empty left out"),
            std::string::npos) << empties.err;
  EXPECT_EQ(tool_on(from_env, {"get", "G"}).out, "g");
  EXPECT_EQ(tool_on(from_env, {"exists", "E"}).status, kFalse);
  for (const char* bad : {"1A=x\n", "A=\"open\n", "A x\n", "A=x\nA=y\n", "E=\nE=x\n"}) {
    EXPECT_EQ(tool_on(from_env, {"import", "--env", "-"}, bad).status, kRejected) << bad;
  }
  // A name twice, and base64 that OpenSSL alone would decode to made-up bytes.
  for (const char* bad : {R"({"A": "x", "A": "y"})", R"({"A": {"base64": "QQ==QQ=="}})",
                          R"({"A": {"base64": " QQ=="}})", R"({"A": {"base64": "Q Q="}})"}) {
    EXPECT_EQ(tool_on(from_env, {"import", "--json", "-"}, bad).status, kRejected) << bad;
  }

  // One file per entry, private, in a new directory.
  const std::string out_dir = dir.file("exported");
  const ToolResult files = tool({"export", "--dir", out_dir});
  ASSERT_EQ(files.status, kOk) << files.err;
  struct stat info {};
  ASSERT_EQ(stat(out_dir.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0700u);
  ASSERT_EQ(stat((out_dir + "/dir/sub/x").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  EXPECT_EQ(read_file(out_dir + "/binary"), all["binary"]);
  EXPECT_EQ(tool({"export", "--dir", out_dir}).status, kExists);
  const std::string from_dir = fresh("from-dir");
  ASSERT_EQ(tool_on(from_dir, {"import", "--dir", out_dir}).status, kOk);
  same_values(from_dir, all);
  // The directory named through a link is followed; a link inside is not.
  const std::string link = dir.file("exported-link");
  std::filesystem::create_directory_symlink(out_dir, link);
  std::filesystem::create_symlink(out_dir + "/binary", out_dir + "/linked");
  const std::string from_link = fresh("from-link");
  const ToolResult linked = tool_on(from_link, {"import", "--dir", link});
  ASSERT_EQ(linked.status, kOk) << linked.err;
  EXPECT_NE(linked.err.find("left out 'linked': not a regular file"), std::string::npos)
      << linked.err;
  same_values(from_link, all);
  std::filesystem::remove(out_dir + "/linked");

  // A tree of several batches (a file too large for one is streamed on its
  // own): the backup still holds the store from before the whole import.
  const std::string batches = dir.file("batches");
  std::filesystem::create_directory(batches);
  write_file(batches + "/a", "new a");
  write_file(batches + "/big", pattern_bytes((16 << 20) + 1, 7));
  write_file(batches + "/c", "new c");
  const std::string replaced_dir = fresh("replaced-dir");
  ASSERT_EQ(tool_on(replaced_dir, {"import", "--json", "-"}, R"({"a": "old a", "c": "old c"})")
                .status, kOk);
  const ToolResult in_batches = tool_on(replaced_dir, {"import", "--dir", batches, "--replace"});
  ASSERT_EQ(in_batches.status, kOk) << in_batches.err;
  EXPECT_EQ(tool_on(replaced_dir, {"get", "c"}).out, "new c");
  const std::string backup = replaced_dir + ".safe.backup2";
  EXPECT_NE(in_batches.err.find("is kept as '" + backup + "'"), std::string::npos)
      << in_batches.err;
  EXPECT_EQ(tool_on(backup, {"get", "a"}).out, "old a");
  EXPECT_EQ(tool_on(backup, {"ls"}).out, "a\nc\n");
  // What an import killed between batches leaves: its first backup, set
  // aside. The next import keeps it (it holds the store from before that
  // import), names it, and still reports its own backup.
  const std::string left = backup + ".before-import";
  std::filesystem::copy_file(backup, left);
  write_file(batches + "/a", "newer a");
  const ToolResult after_kill = tool_on(replaced_dir, {"import", "--dir", batches, "--replace"});
  ASSERT_EQ(after_kill.status, kOk) << after_kill.err;
  EXPECT_NE(after_kill.err.find("'" + left + "' was left by an import that did not finish"),
            std::string::npos)
      << after_kill.err;
  EXPECT_EQ(tool_on(left, {"get", "a"}).out, "old a");
  EXPECT_EQ(tool_on(backup, {"get", "a"}).out, "new a");
  EXPECT_FALSE(std::filesystem::exists(left + ".1"));

  // Names that would leave the directory, or be file and directory at once.
  // (As JSON keys, since a zero byte cannot be on a command line.)
  for (const std::string name : {"../up", "a//b", "dir/sub", "x\\u0000y"}) {
    const std::string other = fresh("bad-names");
    const ToolResult stored = tool_on(other, {"import", "--json", "-"},
                                      "{\"" + name + "\": \"v\", \"dir/sub/y\": \"v\"}");
    ASSERT_EQ(stored.status, kOk) << stored.err;
    const std::string target = dir.file("bad-out");
    EXPECT_EQ(tool_on(other, {"export", "--dir", target}).status, kRejected) << name;
    EXPECT_FALSE(std::filesystem::exists(target)) << name;
    std::filesystem::remove(other + ".safe");
  }

  // On a terminal, nothing is written unless confirmed.
  if (have_pseudo_terminals()) {
    ToolRun asked;
    asked.args = {"-s", store, "--password-file", password_file, "export", "--json"};
    asked.with_terminal = true;
    asked.stdin_is_terminal = true;
    asked.dialogue = {{"[y/N]", "n\n"}};
    const ToolResult declined = run_tool(asked);
    EXPECT_EQ(declined.status, kRejected) << declined.err;
    EXPECT_EQ(declined.out, "");
    // The answer is shown as it is typed.
    EXPECT_NE(declined.terminal.find("[y/N] n"), std::string::npos) << declined.terminal;
  }
}

// run hands values to a command through its environment only; generate
// stores random values of the classes asked for.
// dotenv lines read back byte for byte by a shell that sources them and by
// python-dotenv; a value none can be sure to get back is refused by name.
TEST_F(RoundTrip, DotenvReadsBackAsWritten) {
  create_store();
  const std::map<std::string, std::string> awkward = {
      {"DOLLAR", "$HOME $(echo ran) `echo ran` $"},
      {"BACKSLASH", "C:\\dir\\n back\\slash $HOME\nline"},
      {"DOUBLE", "say \"hi\" \""},
      {"TAB", "a\tb\t"},
      {"LINES", "\none\ntwo\n\n"},
      {"HASH", "#a #b"},
      {"SPACES", "  both ends  "},
      {"UTF8", "h\xc3\xa9llo \xe2\x82\xac"}};
  for (const auto& [name, value] : awkward) add(name, value);
  const ToolResult env = tool({"export", "--env"});
  ASSERT_EQ(env.status, kOk) << env.err;
  write_file(dir.file("out.env"), env.out);
  ToolRun reader;
  reader.program = "/bin/sh";
  for (const auto& [name, value] : awkward) {
    reader.args = {"-c", "set -a; . \"$0\"; printf %s \"$" + name + "\"", dir.file("out.env")};
    EXPECT_EQ(run_tool(reader).out, value) << "sh " << name << "\n" << env.out;
  }
  for (const auto& [name, value] : std::map<std::string, std::string>{
           {"QUOTE", "it's"}, {"CR", "a\rb"}, {"TWO", "a\\\\b"}, {"END", "a\\"},
           {"BRACE", "${HOME}"}, {"LATIN1", "caf\xe9"}, {"ZERO", std::string("a\0b", 3)},
           // Names a shell keeps for itself, whatever the value.
           {"OPTIND", "x"}, {"RANDOM", "7"}, {"UID", "0"}}) {
    add(name, value);
    const ToolResult refused = tool({"get", "--env", "UTF8", name});
    EXPECT_EQ(refused.status, kRejected) << name;
    EXPECT_EQ(refused.out, "") << name;
    EXPECT_NE(refused.err.find("'" + name + "'"), std::string::npos) << refused.err;
  }
  reader.program = "/usr/bin/python3";
  reader.args = {"-c", "import dotenv"};
  if (run_tool(reader).status != 0) {
    GTEST_SKIP() << "python-dotenv is missing (Debian python3-dotenv; scripts/deps.sh)";
  }
  reader.args = {"-c",
                 "import sys, dotenv\n"
                 "values = dotenv.dotenv_values(sys.argv[1])\n"
                 "out = ''.join(k + '=' + v + '\\0' for k, v in sorted(values.items()))\n"
                 "sys.stdout.buffer.write(out.encode())",
                 dir.file("out.env")};
  std::string expected;
  for (const auto& [name, value] : awkward) expected += name + "=" + value + '\0';
  EXPECT_EQ(run_tool(reader).out, expected) << env.out;
}

TEST_F(RoundTrip, RunAndGenerate) {
  create_store();
  const std::string secret = "s3cret value\nwith 'quotes' and $dollar";
  add("app/DB_PASSWORD", secret);
  add("app/TOKEN", "t0k3n");
  add("zero", std::string("a\0b", 3));
  add("hook/LD_PRELOAD", "/no/such/library.so");
  add("hook/PATH", "/no/such/directory");
  // What bash and perl run, set by names under a prefix (bash leaves PS4
  // alone for root, perl does not).
  add("bash/SHELLOPTS", "xtrace");
  add("bash/PS4", "$(echo ran > " + dir.file("ran") + ")");
  add("perl/PERL5OPT", "-d");
  add("perl/PERL5DB", "BEGIN { open(F, '>', '" + dir.file("ran") + "') }");

  // The child's command line is its own; the values are in its environment.
  const ToolResult shown = tool(
      {"run", "--prefix", "app/", "--env", "OTHER=app/TOKEN", "--", "sh", "-c",
       "tr '\\0' ' ' < /proc/$$/cmdline; echo; printenv DB_PASSWORD; printenv TOKEN OTHER; "
       "exit 42"});
  EXPECT_EQ(shown.status, 42) << shown.err;
  const std::string cmdline = shown.out.substr(0, shown.out.find('\n'));
  EXPECT_NE(cmdline.find("printenv"), std::string::npos) << shown.out;
  EXPECT_EQ(cmdline.find("s3cret"), std::string::npos) << cmdline;
  EXPECT_EQ(shown.out.substr(cmdline.size() + 1), secret + "\nt0k3n\nt0k3n\n");

  const ToolResult env = tool({"run", "--env", "T=app/TOKEN", "--", "env"});
  EXPECT_EQ(env.status, kOk) << env.err;
  EXPECT_NE(env.out.find("\nT=t0k3n\n"), std::string::npos);
  for (const auto& [args, status] : std::vector<std::pair<std::vector<std::string>, int>>{
           {{"run", "--env", "Z=zero", "--", "true"}, kRejected},      // zero byte
           {{"run", "--env", "1X=app/TOKEN", "--", "true"}, kRejected},
           {{"run", "--env", "X=absent", "--", "true"}, kNotFound},
           {{"run", "--", "true"}, kUsage},                             // nothing chosen
           {{"run", "--env", "X=app/TOKEN", "--", "/no/such/program"}, 127},
           // Only on purpose may an entry change what the command runs.
           {{"run", "--prefix", "hook/", "--", "true"}, kRejected},
           {{"run", "--prefix", "bash/", "--", "bash", "-c", "true"}, kRejected},
           {{"run", "--prefix", "perl/", "--", "perl", "-e", "1"}, kRejected},
           {{"run", "--prefix", "app/TOKEN", "--", "true"}, kRejected},  // no name left
           // Nor in the dotenv lines a shell or a dotenv loader takes in.
           {{"export", "--env", "--prefix", "hook/"}, kRejected},
           {{"run", "--prefix", "hook/", "--env", "PATH=hook/PATH", "--env",
             "LD_PRELOAD=hook/LD_PRELOAD", "--", "true"},
            kOk}}) {
    const ToolResult refused = tool(args);
    EXPECT_EQ(refused.status, status) << testing::PrintToString(args) << refused.err;
    EXPECT_EQ(refused.out, "");
  }

  EXPECT_FALSE(std::filesystem::exists(dir.file("ran")));
  // Nor may any variable known to steer how a program runs, whatever its
  // case; it is refused by name, not dropped.
  for (const char* variable :
       {"PS4", "PERL5OPT", "PYTHONSTARTUP", "NODE_OPTIONS", "RUBYOPT", "JAVA_TOOL_OPTIONS",
        "_JAVA_OPTIONS", "LESSOPEN", "GIT_SSH_COMMAND", "HOME", "IFS", "ENV", "GLIBC_TUNABLES",
        "http_proxy", "npm_config_script_shell", "KEL_SAFE_PASSWORD", "PS0", "GNUMAKEFLAGS",
        "TMP", "SSLKEYLOGFILE", "GETCONF_DIR", "ASAN_OPTIONS", "CCACHE_PREFIX", "RSYNC_RSH",
        "SUDO_EDITOR", "GROFF_BIN_PATH"}) {
    add(std::string("one/") + variable, "x");
    const ToolResult refused = tool({"run", "--prefix", "one/", "--", "true"});
    EXPECT_EQ(refused.status, kRejected) << variable;
    EXPECT_NE(refused.err.find(std::string(" ") + variable + ","), std::string::npos)
        << refused.err;
    ASSERT_EQ(tool({"rm", std::string("one/") + variable}).status, kOk);
  }

  // Asked for, it is set; the command is still found through the caller's
  // PATH.
  const ToolResult path = tool({"run", "--env", "PATH=hook/PATH", "--", "env"});
  EXPECT_EQ(path.status, kOk) << path.err;
  EXPECT_NE(path.out.find("PATH=/no/such/directory\n"), std::string::npos) << path.out;
  // The descriptor the password came through stays with kel-safe; its
  // options may follow "run", as they may follow any subcommand.
  ToolRun through_fd;
  through_fd.args = {"run", "-s", store, "--password-fd", "3", "--env", "T=app/TOKEN", "--",
                     "sh", "-c", "[ -e /proc/$$/fd/3 ] && echo inherited; echo \"$T\""};
  through_fd.fds = {{3, std::string(kPassword) + "\n"}};
  EXPECT_EQ(run_tool(through_fd).out, "t0k3n\n");

  // Every class present; only the classes asked for.
  const ToolResult printed = tool({"generate", "pw", "--print"});
  ASSERT_EQ(printed.status, kOk) << printed.err;
  const std::string pw = tool({"get", "pw"}).out;
  EXPECT_EQ(printed.out, pw + "\n");
  ASSERT_EQ(pw.size(), 24u);
  for (const char* alphabet : {"0123456789", "ABCDEFGHIJKLMNOPQRSTUVWXYZ",
                               "abcdefghijklmnopqrstuvwxyz", "!#$%&()*+,-./:;<=>?@[]^_{|}~"}) {
    EXPECT_NE(pw.find_first_of(alphabet), std::string::npos) << alphabet;
  }
  ASSERT_EQ(tool({"generate", "pin", "-l", "40", "--charset", "digit"}).status, kOk);
  const std::string pin = tool({"get", "pin"}).out;
  EXPECT_EQ(pin.size(), 40u);
  EXPECT_EQ(pin.find_first_not_of("0123456789"), std::string::npos) << pin;
  EXPECT_EQ(tool({"generate", "pin"}).status, kExists);
  ASSERT_EQ(tool({"generate", "pin", "--replace", "--charset", "upper"}).status, kOk);
  EXPECT_EQ(tool({"get", "pin"}).out.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ"),
            std::string::npos);
  EXPECT_EQ(tool({"generate", "x", "-l", "3", "--charset", "upper,lower,digit,symbol"}).status,
            kUsage);
  EXPECT_EQ(tool({"generate", "x", "--charset", "emoji"}).status, kUsage);

  // A store password made up once, printed once, and it opens the store.
  ToolRun made;
  made.args = {"-s", dir.file("generated"), "create", "--kdf-memory", "19", "--kdf-passes", "2", "--generate-password"};
  const ToolResult created = run_tool(made);
  ASSERT_EQ(created.status, kOk) << created.err;
  ASSERT_EQ(created.out.size(), 25u);
  EXPECT_EQ(created.err.find(created.out.substr(0, 24)), std::string::npos);
  ToolRun check;
  check.args = {"-s", dir.file("generated"), "--password-fd", "0", "verify"};
  check.input = created.out;
  EXPECT_EQ(run_tool(check).status, kOk);
  // A password that cannot be shown leaves no store that nobody can open.
  made.args = {"-s", dir.file("unshown"), "create", "--kdf-memory", "19", "--kdf-passes", "2", "--generate-password"};
  made.close_stdout = true;
  EXPECT_EQ(run_tool(made).status, kFileError);
  EXPECT_FALSE(std::filesystem::exists(dir.file("unshown.safe")));
}

// The names a pattern finds, as ls lists them; exit 1 when none.
TEST_F(RoundTrip, FindListsWhatMatches) {
  create_store();
  for (const char* name : {"web/GitHub", "web/gitlab", "mail", "bank/Git\x1b[2J"}) add(name, "v");
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out;
  } cases[] = {
      {{"find", "GIT"}, kOk, "bank/Git\x1b[2J\nweb/GitHub\nweb/gitlab\n"},
      {{"find", "web/*"}, kOk, "web/GitHub\nweb/gitlab\n"},
      {{"find", "*HUB"}, kOk, "web/GitHub\n"},
      {{"find", "web/git?ab"}, kOk, "web/gitlab\n"},
      {{"find", "[lm]ail"}, kOk, "mail\n"},
      {{"find", "git"}, kOk, "bank/Git\x1b[2J\nweb/GitHub\nweb/gitlab\n"},
      {{"find", "-b", "bank"}, kOk, "$'bank/Git\\x1b[2J'\n"},
      {{"find", "-0", "lab"}, kOk, std::string("web/gitlab\0", 11)},
      {{"find", "--json", "hub"}, kOk, "[\"web/GitHub\"]\n"},
      {{"find", "-l", "mail"}, kOk, "1\tmail\n"},
      {{"find", "nothing"}, kFalse, ""},
      {{"find", "*git"}, kFalse, ""},
  };
  for (const auto& c : cases) {
    const ToolResult found = tool(c.args);
    EXPECT_EQ(found.status, c.status) << testing::PrintToString(c.args) << found.err;
    EXPECT_EQ(found.out, c.out) << testing::PrintToString(c.args);
  }
  // The shell and the agent take it as the program does.
  const std::vector<Frame> frames = parse_frames(tool({"shell"}, "find MAIL\nfind zz\n").out);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].out, "mail\n");
  EXPECT_EQ(frames[1].status, kFalse);
}

// One line of a value: get --line and run --env VAR=NAME:N.
TEST_F(RoundTrip, OneLineOfAValue) {
  create_store();
  add("login", "pw one\r\nuser: me\n\nlast");
  add("db:2", "whole");
  const struct {
    std::string line;
    std::string out;
  } lines[] = {{"1", "pw one"}, {"2", "user: me"}, {"3", ""}, {"4", "last"}};
  for (const auto& l : lines) {
    const ToolResult got = tool({"get", "login", "--line", l.line});
    EXPECT_EQ(got.status, kOk) << l.line << got.err;
    EXPECT_EQ(got.out, l.out) << l.line;
  }
  EXPECT_EQ(tool({"get", "login", "--line", "5"}).status, kRejected);
  ASSERT_EQ(tool({"get", "login", "--line", "2", "-o", dir.file("line")}).status, kOk);
  EXPECT_EQ(read_file(dir.file("line")), "user: me");
  const ToolResult ran = tool({"run", "--env", "P=login:1", "--env", "U=login:2", "--env",
                               "W=db:2", "--", "/bin/sh", "-c", "printf '[%s][%s][%s]' \"$P\" "
                               "\"$U\" \"$W\""});
  EXPECT_EQ(ran.status, kOk) << ran.err;
  EXPECT_EQ(ran.out, "[pw one][user: me][whole]");
}

// RFC 6238's appendix B through the tool: its seeds ("1234567890" repeated
// to 20, 32 and 64 bytes) as otpauth:// URIs of 8 digits, the SHA-256 one
// with the name in lower case, the SHA-512 one percent-encoded after a
// password line; and a bare base32 secret, which is SHA-1 with 6 digits.
TEST_F(RoundTrip, OtpGivesTheCodesOfTheRfc) {
  create_store();
  const std::string sha1 = "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ";  // base32 of 20 bytes of it
  add("sha1", "otpauth://totp/Example:me?secret=" + sha1 + "&digits=8&issuer=Example\n");
  add("sha256", "otpauth://totp/x?algorithm=sha256&digits=8&period=30&secret=" + sha1 +
                    "GEZDGNBVGY3TQOJQGEZA%3D%3D%3D%3D");
  add("sha512", "my password\notpauth://totp/x?secret=" + sha1 + sha1 + sha1 +
                    "GEZDGNA&algorithm=SHA%35%31%32&digits=8");
  add("bare", "gezd gnbv gy3t qojq gezd gnbv gy3t qojq\n");
  const struct {
    std::string at;
    std::string sha1, sha256, sha512;
  } vectors[] = {
      {"59", "94287082", "46119246", "90693936"},
      {"1111111109", "07081804", "68084774", "25091201"},
      {"1111111111", "14050471", "67062674", "99943326"},
      {"1234567890", "89005924", "91819424", "93441116"},
      {"2000000000", "69279037", "90698825", "38618901"},
      {"20000000000", "65353130", "77737706", "47863826"},
  };
  for (const auto& v : vectors) {
    for (const auto& [name, code] : std::vector<std::pair<std::string, std::string>>{
             {"sha1", v.sha1}, {"sha256", v.sha256}, {"sha512", v.sha512},
             {"bare", v.sha1.substr(2)}}) {
      const ToolResult got = tool({"otp", name, "--at", v.at});
      EXPECT_EQ(got.status, kOk) << name << " " << v.at << got.err;
      EXPECT_EQ(got.out, code + "\n") << name << " at " << v.at;
    }
  }
  // Now: a code of six digits, the same one the clock gives.
  const ToolResult now = tool({"otp", "bare"});
  EXPECT_EQ(now.status, kOk) << now.err;
  EXPECT_EQ(now.out.size(), 7u) << now.out;
}

// No -s and no KEL_SAFE_STORE: default.safe in kel-safe's folder of the
// data directory, XDG_DATA_HOME when it is an absolute path, else
// ~/.local/share; create makes the folders, kel-safe's own private.
TEST_F(RoundTrip, DefaultStoreFollowsXdgDataHome) {
  const std::string data = dir.file("data");
  const std::string under_home = home + "/.local/share/kel-safe/default.safe";
  const mode_t mask = umask(0);
  umask(mask);
  const struct {
    const char* xdg;  // nullptr: unset
    std::string file;
  } cases[] = {{nullptr, under_home},
               {"", under_home},
               {"relative/data", under_home},
               {data.c_str(), data + "/kel-safe/default.safe"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.xdg == nullptr ? "unset" : c.xdg);
    std::filesystem::remove_all(home);
    std::filesystem::remove_all(data);
    std::map<std::string, std::string> env;
    if (c.xdg != nullptr) env["XDG_DATA_HOME"] = c.xdg;
    const ToolResult created = tool_at_home(create_args(2), env);
    ASSERT_EQ(created.status, kOk) << created.err;
    EXPECT_NE(created.err.find("created '" + c.file + "'"), std::string::npos) << created.err;
    const std::string folder = c.file.substr(0, c.file.rfind('/'));
    struct stat info {};
    ASSERT_EQ(stat(folder.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    ASSERT_EQ(stat(folder.substr(0, folder.rfind('/')).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0777u & ~mask);
    EXPECT_EQ(tool_at_home({"add", "k"}, env, "v\n").status, kOk);
    EXPECT_EQ(tool_at_home({"get", "k"}, env).out, "v\n");
    // A second create names the store it refused, in full.
    EXPECT_EQ(tool_at_home(create_args(2), env).err,
              "kel-safe: '" + c.file + "' exists already\n");
  }
  EXPECT_FALSE(std::filesystem::exists(dir.file("relative")));
  // A kel-safe folder others may write is refused, and no store is made.
  std::filesystem::remove_all(home);
  std::filesystem::create_directories(home + "/.local/share/kel-safe");
  chmod((home + "/.local/share/kel-safe").c_str(), 0777);
  const ToolResult open_folder = tool_at_home(create_args(2), {});
  EXPECT_EQ(open_folder.status, kRejected) << open_folder.err;
  EXPECT_NE(open_folder.err.find("may be written by other users"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(under_home));
}

// get --clip hands the value to the clipboard program on its standard
// input, never in its arguments; the process left behind empties the
// clipboard only while it still holds the value.
TEST_F(RoundTrip, GetClipCopiesAndClearsOnlyItsOwnValue) {
  create_store();
  const std::string value = pattern_bytes(300, 3);
  add("k", value);
  const std::string bin = dir.file("bin");
  write_fake_clipboard(bin);
  ToolRun run;
  run.args = {"-s", store, "--password-file", password_file, "get", "k", "--clip",
              "--clear-after", "1"};
  run.env = {{"WAYLAND_DISPLAY", "wayland-test"}, {"PATH", bin + ":/usr/bin:/bin"}};
  const auto log_with = [&bin](const std::string& line) {
    for (int tries = 0; tries < 300; ++tries) {
      const std::string log = read_file(bin + "/log");
      if (log.find(line) != std::string::npos) return log;
      usleep(100 * 1000);
    }
    return read_file(bin + "/log");
  };
  ToolResult copied = run_tool(run);
  ASSERT_EQ(copied.status, kOk) << copied.err;
  EXPECT_EQ(copied.out, "");
  EXPECT_EQ(copied.err,
            "kel-safe: copied 'k' to the clipboard (wl-copy); it is cleared in 1 s unless "
            "something else is copied first\n");
  // The process that read the clipboard back, once it has ended.
  const auto clearer_gone = [&log_with]() {
    const std::string log = log_with("paste ");
    const pid_t clearer = std::stoi(log.substr(log.find("paste ") + 6));
    // Gone, or a zombie where nothing reaps orphans (a container's init).
    const auto alive = [clearer] {
      const std::string stat = "/proc/" + std::to_string(clearer) + "/stat";
      return kill(clearer, 0) == 0 && std::filesystem::exists(stat) &&
             read_file(stat).find(") Z ") == std::string::npos;
    };
    for (int tries = 0; tries < 300 && alive(); ++tries) usleep(100 * 1000);
    EXPECT_FALSE(alive());
    return std::to_string(clearer);
  };
  std::string clearer = clearer_gone();
  EXPECT_EQ(read_file(bin + "/log"), "copy \npaste " + clearer + " --no-newline\ncopy --clear\n");
  EXPECT_EQ(read_file(bin + "/clip"), "");

  // Something else in the clipboard by then: it stays.
  std::filesystem::remove(bin + "/log");
  write_file(bin + "/changed", "");
  copied = run_tool(run);
  ASSERT_EQ(copied.status, kOk) << copied.err;
  clearer = clearer_gone();
  EXPECT_EQ(read_file(bin + "/log"), "copy \npaste " + clearer + " --no-newline\n");
  EXPECT_EQ(read_file(bin + "/clip"), value);

  // --clear-after 0: nothing is left behind.
  std::filesystem::remove(bin + "/log");
  run.args.back() = "0";
  copied = run_tool(run);
  ASSERT_EQ(copied.status, kOk) << copied.err;
  EXPECT_EQ(copied.err, "kel-safe: copied 'k' to the clipboard (wl-copy)\n");
  EXPECT_EQ(read_file(bin + "/log"), "copy \n");

  // --line N --clip: that line alone, as pass -c copies the first.
  add("two", "pw one\nuser: me\n");
  run.args = {"-s", store, "--password-file", password_file, "get", "two", "--line", "1",
              "--clip", "--clear-after", "0"};
  ASSERT_EQ(run_tool(run).status, kOk);
  EXPECT_EQ(read_file(bin + "/clip"), "pw one");
  run.args[7] = "3";
  EXPECT_EQ(run_tool(run).status, kRejected);
}

// The same with the real xclip, on a display of the test's own.
TEST_F(RoundTrip, GetClipThroughXclipUnderXvfb) {
  if (access("/usr/bin/xclip", X_OK) != 0 || access("/usr/bin/Xvfb", X_OK) != 0) {
    GTEST_SKIP() << "needs xclip and Xvfb (Debian packages xclip and xvfb)";
  }
  create_store();
  const std::string value = "s3cret w\xc3\xb6rd\nsecond line\n";
  add("k", value);
  // Xvfb picks a free display and writes its number to the pipe.
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  const pid_t server = fork();
  ASSERT_GE(server, 0);
  if (server == 0) {
    close(ends[0]);
    const std::string fd = std::to_string(ends[1]);
    execl("/usr/bin/Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", nullptr);
    _exit(127);
  }
  close(ends[1]);
  const struct Stop {
    pid_t pid;
    ~Stop() {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
  } stop{server};
  std::string display;
  char c = 0;
  while (read(ends[0], &c, 1) == 1 && c != '\n') display += c;
  close(ends[0]);
  ASSERT_FALSE(display.empty()) << "Xvfb did not start";
  const std::map<std::string, std::string> env{{"DISPLAY", ":" + display},
                                               {"PATH", "/usr/bin:/bin"}};
  ToolRun paste;
  paste.program = "/usr/bin/xclip";
  paste.args = {"-o", "-selection", "clipboard"};
  paste.env = env;
  ToolRun copy;
  copy.args = {"-s", store, "--password-file", password_file, "-q", "get", "k", "--clip",
               "--clear-after", "0"};
  copy.env = env;
  const ToolResult copied = run_tool(copy);
  ASSERT_EQ(copied.status, kOk) << copied.err;
  EXPECT_EQ(run_tool(paste).out, value);
  copy.args.back() = "1";
  ASSERT_EQ(run_tool(copy).status, kOk);
  std::string held = value;
  for (int tries = 0; tries < 300 && held == value; ++tries) {
    usleep(100 * 1000);
    held = run_tool(paste).out;
  }
  EXPECT_EQ(held, "");
}

// Whether `path` lies on a file system in memory (tmpfs or ramfs).
bool in_memory(const std::string& path) {
  struct statfs info {};
  return statfs(path.c_str(), &info) == 0 &&
         (static_cast<unsigned long>(info.f_type) == TMPFS_MAGIC ||
          static_cast<unsigned long>(info.f_type) == RAMFS_MAGIC);
}

// edit runs EDITOR (which may hold arguments) on a 0600 file in a new 0700
// folder in memory, removes both and whatever the editor left beside them,
// and changes the store only when the text changed.
TEST_F(RoundTrip, EditStoresOnlyAChangedText) {
  if (!in_memory("/dev/shm")) GTEST_SKIP() << "/dev/shm is not in memory here";
  create_store();
  add("k", "v1");
  const std::string editor = dir.file("editor");
  write_fake_editor(editor);
  const auto edit = [&](const std::string& action, const std::string& name,
                        std::map<std::string, std::string> env = {{"XDG_RUNTIME_DIR", ""}}) {
    ToolRun run;
    run.args = {"-s", store, "--password-file", password_file, "edit", name};
    run.env = std::move(env);
    run.env["EDITOR"] = editor + " " + action;
    run.env["VISUAL"] = "";
    return run_tool(run);
  };
  const auto modified = [this] {
    struct stat info {};
    stat(store_file.c_str(), &info);
    return std::to_string(info.st_ino) + " " + std::to_string(info.st_mtim.tv_sec) + "." +
           std::to_string(info.st_mtim.tv_nsec);
  };

  const ToolResult appended = edit("append", "k");
  ASSERT_EQ(appended.status, kOk) << appended.err;
  // The line end vi-like editors add to a value that had none is dropped.
  EXPECT_EQ(tool({"get", "k"}).out, "v1\nmore");
  EXPECT_EQ(appended.err.substr(0, appended.err.find('\n')), "kel-safe: changed 'k'");
  std::istringstream log(read_file(dir.file("editor-log")));
  std::string file, folder_mode, file_mode, file_system;
  log >> file >> folder_mode >> file_mode >> file_system;
  EXPECT_EQ(file.rfind("/dev/shm/", 0), 0u) << file;
  EXPECT_EQ(folder_mode + " " + file_mode + " " + file_system, "700 600 tmpfs");
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(file).parent_path())) << file;

  const std::string before = modified();
  const ToolResult kept = edit("keep", "k");
  EXPECT_EQ(kept.status, kOk) << kept.err;
  EXPECT_EQ(kept.err, "kel-safe: edit 'k': unchanged; the store is untouched\n");
  const ToolResult failed = edit("fail", "k");
  EXPECT_EQ(failed.status, kFileError);
  EXPECT_EQ(failed.err, "kel-safe: edit 'k': the editor (" + editor +
                            " fail) exited with status 1; nothing is changed\n");
  EXPECT_EQ(modified(), before);
  EXPECT_EQ(tool({"get", "k"}).out, "v1\nmore");

  // A new name starts empty; left empty, it adds nothing.
  EXPECT_EQ(edit("keep", "fresh").err, "kel-safe: edit 'fresh': the text is empty; nothing is added\n");
  EXPECT_EQ(modified(), before);
  EXPECT_EQ(edit("append", "fresh").status, kOk);
  EXPECT_EQ(tool({"get", "fresh"}).out, "\nmore");

  // Another process changes the entry while the editor is open: its value
  // stays, and the edit is refused.
  const ToolResult raced = edit("meddle", "k",
                                {{"XDG_RUNTIME_DIR", ""},
                                 {"MEDDLE", "printf theirs | " + std::string(KEL_SAFE_TOOL_PATH) +
                                                " -q -s " + store + " --password-file " +
                                                password_file + " add --replace k"}});
  EXPECT_EQ(raced.status, kRejected);
  EXPECT_EQ(raced.err, "kel-safe: edit 'k': the entry was changed by another process while the "
                       "editor was open; nothing is changed (run edit again)\n");
  EXPECT_EQ(tool({"get", "k"}).out, "theirs");

  // A FIFO left in the file's place is refused, not waited on; folders the
  // editor made inside are wiped with it, and a CRLF it added is dropped.
  const ToolResult fifo = edit("fifo", "k");
  EXPECT_EQ(fifo.status, kFileError);
  EXPECT_NE(fifo.err.find("not a plain file"), std::string::npos) << fifo.err;
  EXPECT_EQ(edit("nested", "k").status, kOk);
  EXPECT_EQ(tool({"get", "k"}).out, "theirs");
  log.clear();
  log.str(read_file(dir.file("editor-log")));
  log >> file;
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(file).parent_path())) << file;

  // A folder others may rename entries in is refused: they could swap ours
  // for theirs while the editor runs.
  const std::string open_folder = dir.file("open");
  std::filesystem::create_directory(open_folder);
  chmod(open_folder.c_str(), 0777);
  ToolRun shared;
  shared.args = {"-s", store, "--password-file", password_file, "edit", "k", "--allow-disk"};
  shared.env = {{"XDG_RUNTIME_DIR", open_folder}, {"EDITOR", editor + " keep"}, {"VISUAL", ""}};
  const ToolResult refused_shared = run_tool(shared);
  EXPECT_EQ(refused_shared.status, kUsage);
  EXPECT_EQ(refused_shared.err,
            "kel-safe: edit 'k': '" + open_folder +
                "' is not a folder of yours (or a shared one with the sticky bit): others could "
                "take the plain text from it; point XDG_RUNTIME_DIR at a folder of yours\n");

  // A folder on a disk is refused before any password is asked, unless allowed.
  const std::string runtime = dir.file("runtime");
  std::filesystem::create_directory(runtime);
  if (!in_memory(runtime)) {
    const ToolResult refused = edit("append", "k", {{"XDG_RUNTIME_DIR", runtime}});
    EXPECT_EQ(refused.status, kUsage);
    EXPECT_EQ(refused.err, "kel-safe: edit 'k': '" + runtime +
                               "' is not in memory (tmpfs or ramfs): the plain text could stay "
                               "on the disk after its removal; point XDG_RUNTIME_DIR at a tmpfs "
                               "folder of yours, or give --allow-disk\n");
    ToolRun allowed;
    allowed.args = {"-s", store, "--password-file", password_file, "edit", "k", "--allow-disk"};
    allowed.env = {{"XDG_RUNTIME_DIR", runtime}, {"EDITOR", editor + " keep"}, {"VISUAL", ""}};
    EXPECT_EQ(run_tool(allowed).status, kOk);
    EXPECT_TRUE(std::filesystem::is_empty(runtime));
  }
  // A batch's standard streams carry its frames: no editor there.
  const std::vector<Frame> frames = parse_frames(tool({"shell"}, "edit k\n").out);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].status, kUsage);
}

// A signal to the tool while the editor runs ends the editor, removes the
// plain text, and then ends the tool as the signal does; the store is
// untouched.
TEST_F(RoundTrip, EditKilledLeavesNoPlainText) {
  create_store();
  add("k", "v1");
  const std::string editor = dir.file("editor");
  write_fake_editor(editor);
  const std::string runtime = dir.file("runtime");
  std::filesystem::create_directory(runtime);
  for (const char* signal : {"TERM", "HUP"}) {
    std::remove(dir.file("editor-log").c_str());
    ToolRun run;
    run.program = "/bin/bash";
    run.args = {"-c",
                "\"$0\" -s \"$1\" --password-file \"$2\" edit k --allow-disk & tool=$!\n"
                "for i in $(seq 200); do [ -s \"$3\" ] && break; sleep 0.05; done\n"
                "kill -" + std::string(signal) + " $tool; wait $tool; echo $?",
                tool_path(), store, password_file, dir.file("editor-log")};
    run.env = {{"XDG_RUNTIME_DIR", runtime}, {"EDITOR", editor + " wait"}, {"VISUAL", ""}};
    const ToolResult result = run_tool(run);
    EXPECT_EQ(result.out, std::to_string(128 + (signal[0] == 'T' ? SIGTERM : SIGHUP)) + "\n")
        << result.err;
    EXPECT_NE(read_file(dir.file("editor-log")).find(runtime + "/kel-safe-edit."),
              std::string::npos);
    EXPECT_TRUE(std::filesystem::is_empty(runtime)) << signal;
  }
  EXPECT_EQ(tool({"get", "k"}).out, "v1");
}

// get --qr --force on a pipe: a square of half blocks, two module rows to a
// line, a quiet zone of 4 light modules round the symbol, and a finder
// pattern in its top-left corner; --line N draws that line alone.
TEST_F(RoundTrip, GetQrDrawsASymbolInsideItsQuietZone) {
  create_store();
  add("short", "hello");
  add("lines", "pw\nhello\n");
  const ToolResult drawn = tool({"get", "short", "--qr", "--force"});
  ASSERT_EQ(drawn.status, kOk) << drawn.err;
  // The modules, dark as true, read back from the drawing.
  std::vector<std::vector<bool>> modules;
  std::istringstream lines(drawn.out);
  const std::string begin = "\x1b[30;47m", end = "\x1b[0m";
  for (std::string line; std::getline(lines, line);) {
    ASSERT_EQ(line.rfind(begin, 0), 0u) << line;
    ASSERT_EQ(line.substr(line.size() - end.size()), end) << line;
    const std::string cells = line.substr(begin.size(), line.size() - begin.size() - end.size());
    modules.emplace_back();
    modules.emplace_back();
    for (std::size_t at = 0; at < cells.size();) {
      const std::string cell = cells.substr(at, cells[at] == ' ' ? 1 : 3);
      at += cell.size();
      ASSERT_TRUE(cell == " " || cell == "\u2588" || cell == "\u2580" || cell == "\u2584")
          << cell;
      modules[modules.size() - 2].push_back(cell == "\u2588" || cell == "\u2580");
      modules.back().push_back(cell == "\u2588" || cell == "\u2584");
    }
  }
  // Five bytes fit version 1: 21 modules and the quiet zone, 29 in all; the
  // last line's lower half lies below the square.
  ASSERT_EQ(modules.size(), 30u);
  EXPECT_EQ(std::count(modules.back().begin(), modules.back().end(), true), 0);
  modules.pop_back();
  for (std::size_t row = 0; row < 29; ++row) {
    ASSERT_EQ(modules[row].size(), 29u) << row;
    for (std::size_t column = 0; column < 29; ++column) {
      const bool quiet = row < 4 || column < 4 || row >= 25 || column >= 25;
      if (quiet) {
        EXPECT_FALSE(modules[row][column]) << row << "," << column;
      }
    }
  }
  // Finder: a dark ring, a light ring, a dark 3x3 core, a light separator.
  for (std::size_t row = 0; row < 8; ++row) {
    for (std::size_t column = 0; column < 8; ++column) {
      const std::size_t ring = std::max(row > 3 ? row - 3 : 3 - row,
                                        column > 3 ? column - 3 : 3 - column);
      EXPECT_EQ(modules[4 + row][4 + column], ring != 2 && ring != 4) << row << "," << column;
    }
  }
  EXPECT_EQ(tool({"get", "lines", "--line", "2", "--qr", "--force"}).out, drawn.out);
}

TEST_F(RoundTrip, EmptyStoreListsNothing) {
  create_store();
  EXPECT_EQ(tool({"ls"}).out, "");
  EXPECT_EQ(tool({"ls", "--json"}).out, "[]\n");
}

TEST_F(RoundTrip, LargeValueThroughFilesAndStandardOutput) {
  create_store();
  const std::string big = pattern_bytes(6 * 1024 * 1024 + 13, 3);
  write_file(dir.file("big.in"), big);
  const ToolResult added = tool({"add", "big", "--file", dir.file("big.in")});
  ASSERT_EQ(added.status, kOk) << added.err;

  // A umask of 0 must not loosen the output file's mode.
  ToolRun run;
  run.args = {"-s", store, "--password-file", password_file, "get", "big", "-o",
              dir.file("big.out")};
  run.umask = 0;
  const ToolResult got = run_tool(run);
  ASSERT_EQ(got.status, kOk) << got.err;
  EXPECT_EQ(got.out, "");
  EXPECT_EQ(read_file(dir.file("big.out")), big);
  struct stat info {};
  ASSERT_EQ(stat(dir.file("big.out").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);

  EXPECT_EQ(tool({"get", "big"}).out, big);
  EXPECT_EQ(tool({"get", "big", "-o", "-"}).out, big);
}

TEST_F(RoundTrip, OutputFileIsNeverReplacedUnasked) {
  create_store();
  add("k", "new value");
  write_file(dir.file("out"), "precious");
  const ToolResult refused = tool({"get", "k", "-o", dir.file("out")});
  EXPECT_EQ(refused.status, kExists);
  EXPECT_EQ(read_file(dir.file("out")), "precious");

  const ToolResult forced = tool({"get", "k", "-o", dir.file("out"), "--force"});
  EXPECT_EQ(forced.status, kOk) << forced.err;
  EXPECT_EQ(read_file(dir.file("out")), "new value");

  // A missing entry leaves no file behind.
  EXPECT_EQ(tool({"get", "nope", "-o", dir.file("never")}).status, kNotFound);
  EXPECT_EQ(files(), (std::vector<std::string>{"out", "password", "vault.safe"}));

  // Never the store or one of its backups, however named, forced or not.
  ASSERT_EQ(tool({"rm", "k"}).status, kOk);
  add("k", "new value");
  const std::string store_bytes = read_file(store_file);
  ASSERT_EQ(symlink(store_file.c_str(), dir.file("alias").c_str()), 0);
  for (const std::string& target :
       {store_file, store_file + ".backup2", dir.file("alias")}) {
    EXPECT_EQ(tool({"get", "k", "-o", target}).status, kExists) << target;
    EXPECT_EQ(tool({"get", "k", "-o", target, "--force"}).status, kRejected) << target;
  }
  EXPECT_TRUE(read_file(store_file) == store_bytes);
  EXPECT_EQ(tool({"get", "k"}).out, "new value");

  // Devices are written in place, never replaced; directories never.
  const ToolResult to_null = tool({"get", "k", "-o", "/dev/null"});
  EXPECT_EQ(to_null.status, kOk) << to_null.err;
  EXPECT_EQ(tool({"get", "k", "-o", dir.path().string(), "--force"}).status, kFileError);
  if (mknod(dir.file("null").c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0) {
    const ToolResult forced_device = tool({"get", "k", "-o", dir.file("null"), "--force"});
    EXPECT_EQ(forced_device.status, kOk) << forced_device.err;
    struct stat info {};
    ASSERT_EQ(lstat(dir.file("null").c_str(), &info), 0);
    EXPECT_TRUE(S_ISCHR(info.st_mode));
  }
}

// Someone who can write the file but has no key claims a huge length for the
// last value over a sparse file. Nothing is sized by that claim: the value
// fails in a first pass that keeps none of it, and nothing is written.
TEST_F(RoundTrip, ClaimedLengthSizesNothing) {
  create_store();
  add("k", "v");
  std::string bytes = read_file(store_file);
  const std::size_t header = header_length(bytes);
  ASSERT_EQ(bytes.size(), header + 42 + 1 + 28);  // header, fixed part, value part
  const std::uint32_t claimed = 256u << 20;
  for (int i = 0; i < 4; ++i) bytes[header + 38 + i] = static_cast<char>(claimed >> (8 * i));
  const std::string trailer = bytes.substr(bytes.size() - 28);
  bytes.resize(header + 42);
  write_file(store_file, bytes);
  std::filesystem::resize_file(store_file, bytes.size() + claimed);
  std::ofstream(store_file, std::ios::binary | std::ios::app) << trailer;
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"get", "k"}, {"get", "k", "-o", "/dev/null"}}) {
    const ToolResult result = tool(args);
    EXPECT_EQ(result.status, kStoreError) << result.err;
    EXPECT_EQ(result.out, "");
  }
  struct rusage usage {};
  ASSERT_EQ(getrusage(RUSAGE_CHILDREN, &usage), 0);
  EXPECT_LT(usage.ru_maxrss, 128 * 1024) << "KiB at most, for a claim of 256 MiB";
}

// A file size limit (ulimit -f) stops the transfer with an error; no file
// holding part of the value stays behind.
TEST_F(RoundTrip, OutputCutShortLeavesNothing) {
  create_store();
  write_file(dir.file("big.in"), pattern_bytes(3 * 1024 * 1024, 9));
  ASSERT_EQ(tool({"add", "big", "--file", dir.file("big.in")}).status, kOk);
  std::remove(dir.file("big.in").c_str());
  ToolRun run;
  run.args = {"-s", store, "--password-file", password_file, "get", "big", "-o",
              dir.file("big.out")};
  run.file_size_limit = 64 * 1024;
  const ToolResult cut = run_tool(run);
  EXPECT_EQ(cut.status, kFileError) << cut.err;
  EXPECT_EQ(files(), (std::vector<std::string>{"password", "vault.safe"}));
}

TEST_F(RoundTrip, DamagedValueNeverReachesTheOutput) {
  create_store();
  add("small", "s");
  add("a", "exported before the damaged one");
  const std::string big = pattern_bytes(5 * 1024 * 1024, 5);  // two passes
  write_file(dir.file("big.in"), big);
  ASSERT_EQ(tool({"add", "big", "--file", dir.file("big.in")}).status, kOk);
  std::remove(dir.file("big.in").c_str());

  // One flipped bit in the last record's value cipher must fail
  // authentication of the whole value. (Its tag, the file's last 16 bytes,
  // would fail its name too, which is bound to it in format 3.)
  std::string bytes = read_file(store_file);
  bytes[bytes.size() - 28 - 1000] = static_cast<char>(bytes[bytes.size() - 28 - 1000] ^ 0x01);
  write_file(store_file, bytes);

  const ToolResult to_file = tool({"get", "big", "-o", dir.file("big.out")});
  EXPECT_EQ(to_file.status, kStoreError);
  EXPECT_NE(to_file.err.find("Could not decrypt value cipher"), std::string::npos)
      << to_file.err;
  // Neither the output nor the temporary file it was written to remain.
  EXPECT_EQ(files(), (std::vector<std::string>{"password", "vault.safe"}));

  const ToolResult to_stdout = tool({"get", "big"});
  EXPECT_EQ(to_stdout.status, kStoreError);
  EXPECT_EQ(to_stdout.out, "");

  // Read with others, it keeps every one of them from the output too.
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"get", "--json", "small", "big"},
           {"get", "--env", "small", "big"},
           {"export", "--json"},
           {"export", "--dir", dir.file("exported")},
           {"run", "--prefix", "", "--", "echo", "ran"}}) {
    const ToolResult many = tool(args);
    EXPECT_EQ(many.status, kStoreError) << testing::PrintToString(args);
    EXPECT_EQ(many.out, "") << testing::PrintToString(args);
  }
  // Nor do the values exported before it stay behind in clear.
  EXPECT_FALSE(std::filesystem::exists(dir.file("exported")));
}


// The names of a store, one a line, with the date and time of every conflict
// entry's name written as "*".
std::string conflicts_as_stars(std::string names) {
  const std::string mark = ".conflict-";
  for (std::size_t at = 0; (at = names.find(mark, at)) != std::string::npos;) {
    at += mark.size();
    names.replace(at, names.find('\n', at) - at, "*");
  }
  return names;
}

TEST_F(RoundTrip, MergeBringsInAnotherStoresEntries) {
  create_store();
  add("both", "same value");
  add("mine", "my value");
  add("differs", "our-value-1");
  const std::string initial = read_file(store_file);
  for (int format : {1, 2}) {
    SCOPED_TRACE(format);
    write_file(store_file, initial);
    const std::string other = dir.file("other" + std::to_string(format));
    create_store_on(other, format);
    for (const auto& [name, value] : std::map<std::string, std::string>{
             {"both", "same value"}, {"theirs", "their value"}, {"differs", "their-value-2"}}) {
      ASSERT_EQ(tool_on(other, {"add", name}, value).status, kOk);
    }
    const std::string before = read_file(store_file);
    const std::string other_before = read_file(other + ".safe");
    EXPECT_EQ(tool({"merge", store_file}).status, kRejected);
    const ToolResult merged = tool({"merge", other});
    ASSERT_EQ(merged.status, kOk) << merged.err;
    EXPECT_EQ(conflicts_as_stars(tool({"ls"}).out),
              "both\ndiffers\ndiffers.conflict-*\nmine\ntheirs\n");
    EXPECT_EQ(tool({"get", "differs"}).out, "our-value-1");
    EXPECT_EQ(tool({"get", "theirs"}).out, "their value");
    const std::string aside = tool({"find", "differs.conflict-"}).out;
    ASSERT_EQ(aside.size(), std::string("differs.conflict-YYYYMMDD\n").size()) << aside;
    EXPECT_EQ(tool({"get", aside.substr(0, aside.size() - 1)}).out, "their-value-2");
    // Reported by name, never by value.
    EXPECT_NE(merged.err.find("conflict: 'differs'"), std::string::npos) << merged.err;
    EXPECT_EQ(merged.err.find("their-value-2"), std::string::npos) << merged.err;
    EXPECT_TRUE(read_file(store_file + ".backup2") == before);
    EXPECT_TRUE(read_file(other + ".safe") == other_before);
    // Made again, it finds everything there: no rewrite.
    const std::string after = read_file(store_file);
    const ToolResult again = tool({"merge", other});
    EXPECT_EQ(again.status, kOk) << again.err;
    EXPECT_NE(again.err.find("nothing to merge"), std::string::npos) << again.err;
    EXPECT_TRUE(read_file(store_file) == after);
    // --prefer theirs gives the name their value and keeps ours aside.
    ASSERT_EQ(tool_on(other, {"add", "mine", "--replace-or-add"}, "their mine").status, kOk);
    ASSERT_EQ(tool({"merge", other, "--prefer", "theirs", "--drop-backup"}).status, kOk);
    EXPECT_EQ(tool({"get", "mine"}).out, "their mine");
    const std::string kept = tool({"find", "mine.conflict-"}).out;
    ASSERT_FALSE(kept.empty());
    EXPECT_EQ(tool({"get", kept.substr(0, kept.size() - 1)}).out, "my value");
  }
  // A store of another password: its own file, else nothing is changed.
  const std::string locked = dir.file("locked");
  const std::string other_password = dir.file("other-password");
  write_file(other_password, kOtherPassword + "\n");
  ToolRun run;
  run.args = {"-s", locked, "--password-file", other_password};
  for (const std::string& word : create_args(2)) run.args.push_back(word);
  ASSERT_EQ(run_tool(run).status, kOk);
  run.args = {"-s", locked, "--password-file", other_password, "add", "sealed"};
  run.input = "locked value";
  ASSERT_EQ(run_tool(run).status, kOk);
  const std::string before = read_file(store_file);
  EXPECT_EQ(tool({"merge", locked}).status, kWrongPassword);
  EXPECT_TRUE(read_file(store_file) == before);
  // In a session, which runs merge but not the driver (git runs that).
  const std::vector<Frame> frames = parse_frames(
      tool({"shell"}, "merge " + locked + " --other-password-file " + other_password +
                          "\nmerge-driver a b c\n").out);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].status, kOk) << frames[0].notes;
  EXPECT_EQ(frames[1].status, kUsage) << frames[1].notes;
  EXPECT_EQ(tool({"get", "sealed"}).out, "locked value");
}

// ---- Key slots -------------------------------------------------------------

// keygen: the identity in a new 0600 file, never over one; its public key
// alone on standard output; to standard output only when that is no
// terminal.
TEST_F(RoundTrip, KeygenWritesAPrivateIdentityOnce) {
  const std::string identity = dir.file("id");
  const std::string key = make_identity(identity);
  const std::string text = read_file(identity);
  EXPECT_NE(text.find(key), std::string::npos) << "the file names its public key";
  struct stat info {};
  ASSERT_EQ(stat(identity.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ToolRun again;
  again.args = {"keygen", "-o", identity};
  EXPECT_EQ(run_tool(again).status, kExists);
  EXPECT_TRUE(read_file(identity) == text);
  // Nor through a link: the secret would land where it leads.
  ASSERT_EQ(symlink(dir.file("elsewhere").c_str(), dir.file("link").c_str()), 0);
  again.args = {"keygen", "-o", dir.file("link")};
  EXPECT_EQ(run_tool(again).status, kExists);
  EXPECT_FALSE(std::filesystem::exists(dir.file("elsewhere")));
  // Without -o: the identity on standard output (a pipe here), the key on
  // standard error; two identities are never the same.
  again.args = {"keygen"};
  const ToolResult piped = run_tool(again);
  ASSERT_EQ(piped.status, kOk) << piped.err;
  const std::string other_key = piped.err.substr(piped.err.find("public key: ") + 12);
  EXPECT_NE(piped.out.find(other_key.substr(0, other_key.size() - 1)), std::string::npos);
  EXPECT_NE(other_key, key + "\n");
  if (have_pseudo_terminals()) {
    again.with_terminal = again.stdio_is_terminal = true;
    const ToolResult shown = run_tool(again);
    EXPECT_EQ(shown.status, kUsage);
    EXPECT_NE(shown.terminal.find("give -o FILE"), std::string::npos) << shown.terminal;
  }
}

// Each kind of slot granted, then the store opened through it, and every
// wrong key refused with the status of a wrong password; slots lists them
// and never a secret; revoke by label and by number locks the key out.
TEST_F(RoundTrip, KeySlotsOpenGrantAndRevoke) {
  create_store();
  add("mail", "the-mail-secret");
  const std::string alice = dir.file("alice.id"), bob = dir.file("bob.id");
  const std::string alice_key = make_identity(alice);
  make_identity(bob);
  const std::string key_file = dir.file("usb.key"), other_key_file = dir.file("other.key");
  write_file(key_file, pattern_bytes(300, 1));
  write_file(other_key_file, pattern_bytes(300, 2));
  const std::string spare = dir.file("spare"), usb = dir.file("usb");
  const std::string third_password = "Third-Secret-55-Words";
  write_file(spare, kOtherPassword + "\n");
  write_file(usb, third_password + "\n");
  chmod(spare.c_str(), 0600);
  chmod(usb.c_str(), 0600);
  ASSERT_EQ(tool({"grant", "--recipient", alice_key, "--label", "alice"}).status, kOk);
  ASSERT_EQ(tool({"grant", "--password", "--label", "spare", "--new-password-file", spare}).status,
            kOk);
  ASSERT_EQ(tool({"grant", "--key-file", key_file, "--label", "usb", "--new-password-file", usb})
                .status,
            kOk);
  EXPECT_EQ(tool({"grant", "--recipient", alice_key}).status, kExists);
  EXPECT_EQ(tool({"grant", "--label", "x"}).status, kUsage);
  EXPECT_EQ(tool({"grant", "--password", "--recipient", alice_key}).status, kUsage);
  EXPECT_EQ(tool({"grant", "--password", "--label", std::string(65, 'l')}).status, kRejected);

  const std::string secret_line = [&] {
    std::istringstream lines(read_file(alice));
    std::string line, secret;
    while (std::getline(lines, line)) {
      if (!line.empty() && line[0] != '#') secret = line;
    }
    return secret;
  }();
  ASSERT_FALSE(secret_line.empty());
  // Whatever was given is never echoed: a pasted identity line is a secret.
  for (const auto& [given, says] : std::vector<std::pair<std::string, std::string>>{
           {"kelpk1-not-a-key", "not a public key (a public key starts with kelpk1"},
           {secret_line, "this is an identity (a secret key), not a public key"}}) {
    const ToolResult refused = tool({"grant", "--recipient", given});
    EXPECT_EQ(refused.status, kRejected);
    EXPECT_NE(refused.err.find(says), std::string::npos) << refused.err;
    EXPECT_EQ((refused.out + refused.err).find(given.substr(7)), std::string::npos) << refused.err;
  }
  std::vector<ToolResult> outputs;
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const struct {
    std::vector<std::string> args;
    std::map<std::string, std::string> env;
    int status;
  } ways[] = {
      {{"--identity", alice}, {}, kOk},
      {{}, {{"KEL_SAFE_IDENTITY", alice}}, kOk},
      {{"--key-file", key_file, "--password-file", usb}, {}, kOk},
      {{"--password-file", usb}, {{"KEL_SAFE_KEY_FILE", key_file}}, kOk},
      {{"--password-file", spare}, {}, kOk},
      {{"--password-file", password_file}, {}, kOk},
      // A password option on the command line beats the environment's
      // identity (bob's opens nothing here).
      {{"--password-file", spare}, {{"KEL_SAFE_IDENTITY", bob}}, kOk},
      {{"--key-file", key_file, "--password-file", usb}, {{"KEL_SAFE_IDENTITY", bob}}, kOk},
      // Wrong keys: another identity, the key file's password alone, the
      // key file with another password or with no password at all.
      {{"--identity", bob}, {}, kWrongPassword},
      {{"--password-file", usb}, {}, kWrongPassword},
      {{"--key-file", other_key_file, "--password-file", usb}, {}, kWrongPassword},
      {{"--key-file", key_file, "--password-file", password_file}, {}, kWrongPassword},
      {{"--key-file", key_file}, {}, kUsage},
      {{"--identity", dir.file("missing")}, {}, kFileError},
      {{"--identity", key_file}, {}, kRejected},
      {{"--identity", alice, "--key-file", key_file}, {}, kUsage},
      // A FIFO nobody writes to reads as empty, at once (the open waited
      // for a writer forever); a device is refused unread (/dev/zero never
      // ends).
      {{"--identity", fifo}, {}, kRejected},
      {{"--key-file", fifo, "--password-file", usb}, {}, kRejected},
      {{"--identity", "/dev/zero"}, {}, kFileError},
      {{"--key-file", "/dev/zero", "--password-file", usb}, {}, kFileError},
  };
  for (const auto& way : ways) {
    std::vector<std::string> args = way.args;
    args.insert(args.end(), {"get", "mail"});
    const ToolResult got = keyed(args, way.env);
    SCOPED_TRACE(testing::PrintToString(args));
    EXPECT_EQ(got.status, way.status) << got.err;
    EXPECT_EQ(got.out, way.status == kOk ? "the-mail-secret" : "");
    outputs.push_back(got);
  }
  // A pipe is still read to its end: an identity given as <(cat FILE).
  EXPECT_EQ(keyed({"--identity", "/dev/stdin", "get", "mail"}, {}, read_file(alice)).out,
            "the-mail-secret");
  // passwd changes a password slot's password, which neither of them opens.
  EXPECT_EQ(keyed({"--identity", alice, "passwd"}).status, kUsage);
  EXPECT_EQ(keyed({"--key-file", key_file, "--password-file", usb, "passwd"}).status, kUsage);
  // The identity's own slot is the one marked as opening the store.
  const ToolResult listed = keyed({"--identity", alice, "slots"});
  ASSERT_EQ(listed.status, kOk) << listed.err;
  EXPECT_EQ(count_of(listed.out, "\n"), 5u) << listed.out;
  for (const char* word : {"\n0    password ", "\n1*   recipient ", "alice\n", "\n2    password ",
                           "spare\n", "\n3    password+key-file ", "usb\n"}) {
    EXPECT_NE(listed.out.find(word), std::string::npos) << word << "\n" << listed.out;
  }
  const ToolResult json = tool({"slots", "--json"});
  EXPECT_NE(json.out.find("{\"created\":"), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"kind\":\"recipient\",\"label\":\"alice\",\"opened_here\":false,"
                          "\"public_key\":\"" + alice_key + "\""),
            std::string::npos)
      << json.out;
  EXPECT_NE(json.out.find("\"kind\":\"password\",\"label\":\"\",\"opened_here\":true"),
            std::string::npos)
      << json.out;
  outputs.push_back(listed);
  outputs.push_back(json);

  // Revoked by label, then by number: the key opens nothing from then on.
  EXPECT_EQ(tool({"revoke", "nobody"}).status, kNotFound);
  EXPECT_EQ(tool({"revoke", "9"}).status, kNotFound);
  const ToolResult revoked = tool({"revoke", "alice", "--yes"});
  ASSERT_EQ(revoked.status, kOk) << revoked.err;
  EXPECT_NE(revoked.err.find("still opens with the revoked slot's key"), std::string::npos)
      << revoked.err;
  EXPECT_EQ(keyed({"--identity", alice, "get", "mail"}).status, kWrongPassword);
  EXPECT_EQ(keyed({"--password-file", spare, "get", "mail"}).out, "the-mail-secret");
  ASSERT_EQ(tool({"revoke", "1", "--yes", "--drop-backup"}).status, kOk);  // spare, now 1
  EXPECT_EQ(keyed({"--password-file", spare, "get", "mail"}).status, kWrongPassword);
  EXPECT_FALSE(std::filesystem::exists(store_file + ".backup2"));
  ASSERT_EQ(keyed({"--key-file", key_file, "--password-file", usb, "revoke", "0", "-y"}).status,
            kOk);
  // The last slot stays, and the store still opens through it.
  EXPECT_EQ(tool({"get", "mail"}).status, kWrongPassword);
  EXPECT_EQ(keyed({"--key-file", key_file, "--password-file", usb, "revoke", "usb", "-y"}).status,
            kRejected);
  EXPECT_EQ(keyed({"--key-file", key_file, "--password-file", usb, "get", "mail"}).out,
            "the-mail-secret");
  outputs.push_back(revoked);
  // No secret reaches any output: not the identity, not a password.
  for (const ToolResult& result : outputs) {
    for (const std::string& secret : {secret_line, kPassword, kOtherPassword, third_password}) {
      EXPECT_EQ(result.out.find(secret), std::string::npos);
      EXPECT_EQ(result.err.find(secret), std::string::npos);
    }
  }
  // A session lists the slots, and changes none.
  const std::vector<Frame> frames =
      parse_frames(keyed({"--key-file", key_file, "--password-file", usb, "shell"},
                         {}, "slots\ngrant --password\nrevoke 0\n")
                       .out);
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0].status, kOk);
  EXPECT_NE(frames[0].out.find("0*   password+key-file"), std::string::npos) << frames[0].out;
  EXPECT_EQ(frames[1].status, kUsage);
  EXPECT_EQ(frames[2].status, kUsage);
  // A store of format 2 has no slots.
  const std::string old = dir.file("old");
  create_store_on(old, 2);
  EXPECT_EQ(tool_on(old, {"grant", "--recipient", alice_key}).status, kRejected);
  EXPECT_EQ(tool_on(old, {"slots"}).status, kRejected);
  ToolRun through_identity;
  through_identity.args = {"-s", old, "--identity", alice, "ls"};
  EXPECT_EQ(run_tool(through_identity).status, kRejected);
}

// git's merge driver, three ways by name. Each side starts as a copy of
// BASE (one store key, one header) and is changed by the tool.
TEST_F(RoundTrip, MergeDriverMergesThreeWaysByName) {
  using Entries = std::map<std::string, std::string>;
  const struct {
    const char* what;
    Entries base, ours, theirs;
    std::string merged;  // ls of the result
    Entries values;      // some values of the result
    int status;
  } cases[] = {
      {"added on their side", {{"a", "1"}}, {{"a", "1"}}, {{"a", "1"}, {"b", "2"}}, "a\nb\n",
       {{"b", "2"}}, kOk},
      {"added on our side", {{"a", "1"}}, {{"a", "1"}, {"b", "2"}}, {{"a", "1"}}, "a\nb\n",
       {{"b", "2"}}, kOk},
      {"removed on their side", {{"a", "1"}, {"b", "2"}}, {{"a", "1"}, {"b", "2"}},
       {{"a", "1"}}, "a\n", {}, kOk},
      {"removed on our side", {{"a", "1"}, {"b", "2"}}, {{"a", "1"}}, {{"a", "1"}, {"b", "2"}},
       "a\n", {}, kOk},
      {"changed on their side", {{"a", "1"}}, {{"a", "1"}}, {{"a", "9"}}, "a\n", {{"a", "9"}},
       kOk},
      {"the same change on both", {{"a", "1"}}, {{"a", "7"}}, {{"a", "7"}}, "a\n",
       {{"a", "7"}}, kOk},
      {"changed on both differently", {{"a", "1"}}, {{"a", "8"}}, {{"a", "9"}},
       "a\na.conflict-*\n", {{"a", "8"}}, kFalse},
      {"added on both differently", {{"k", "0"}}, {{"k", "0"}, {"n", "1"}},
       {{"k", "0"}, {"n", "2"}}, "k\nn\nn.conflict-*\n", {{"n", "1"}}, kFalse},
      {"removed on ours, changed on theirs", {{"a", "1"}, {"k", "0"}}, {{"k", "0"}},
       {{"a", "9"}, {"k", "0"}}, "a\nk\n", {{"a", "9"}}, kFalse},
      {"changed on ours, removed on theirs", {{"a", "1"}, {"k", "0"}},
       {{"a", "8"}, {"k", "0"}}, {{"k", "0"}}, "a\nk\n", {{"a", "8"}}, kFalse},
  };
  const std::string base = dir.file("base");
  create_store_on(base);
  const std::string empty_base = read_file(base + ".safe");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    write_file(base + ".safe", empty_base);
    for (const auto& [name, value] : c.base) ASSERT_EQ(tool_on(base, {"add", name}, value).status, kOk);
    for (const auto& [side, entries] : {std::pair{"ours", &c.ours}, std::pair{"theirs", &c.theirs}}) {
      const std::string path = dir.file(side);
      write_file(path + ".safe", read_file(base + ".safe"));
      for (const auto& [name, value] : c.base) {
        if (entries->count(name) == 0) {
          ASSERT_EQ(tool_on(path, {"rm", name, "-q", "--drop-backup"}).status, kOk);
        }
      }
      for (const auto& [name, value] : *entries) {
        if (c.base.count(name) == 0 || c.base.at(name) != value) {
          ASSERT_EQ(tool_on(path, {"add", name, "--replace-or-add", "-q", "--drop-backup"}, value).status, kOk);
        }
      }
    }
    const ToolResult driven = tool({"merge-driver", base + ".safe", dir.file("ours") + ".safe",
                                    dir.file("theirs") + ".safe"});
    EXPECT_EQ(driven.status, c.status) << driven.err;
    EXPECT_EQ(conflicts_as_stars(tool_on(dir.file("ours"), {"ls"}).out), c.merged);
    for (const auto& [name, value] : c.values) {
      EXPECT_EQ(tool_on(dir.file("ours"), {"get", name}).out, value) << name;
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("ours") + ".safe.backup2"));
  }
  // Their side changed the password: OURS is left as it was.
  const std::string ours = read_file(dir.file("ours") + ".safe");
  write_file(dir.file("new-password"), kOtherPassword + "\n");
  ASSERT_EQ(tool_on(dir.file("theirs"), {"passwd", "--new-password-file", dir.file("new-password"),
                                        "--drop-backup"}).status, kOk);
  const ToolResult refused = tool({"merge-driver", base + ".safe", dir.file("ours") + ".safe",
                                   dir.file("theirs") + ".safe"});
  EXPECT_EQ(refused.status, kWrongPassword) << refused.err;
  EXPECT_TRUE(read_file(dir.file("ours") + ".safe") == ours);
}

// The merge driver never merges a header: the side that changed the key
// slots gives the result its header, with both sides' entries; a slot
// revoked there never comes back; slots changed on both sides are a
// conflict that leaves OURS as git gave it.
TEST_F(RoundTrip, MergeDriverKeepsTheSideThatChangedTheSlots) {
  const std::string base = dir.file("base"), ours = dir.file("ours"), theirs = dir.file("theirs");
  const std::string carol = dir.file("carol.id"), dave = dir.file("dave.id"),
                    erin = dir.file("erin.id");
  const std::string carol_key = make_identity(carol), dave_key = make_identity(dave),
                    erin_key = make_identity(erin);
  create_store_on(base);
  ASSERT_EQ(tool_on(base, {"add", "a"}, "1").status, kOk);
  ASSERT_EQ(tool_on(base, {"grant", "--recipient", carol_key, "--label", "carol"}).status, kOk);
  const std::string start = read_file(base + ".safe");
  const struct {
    const char* what;
    std::vector<std::string> ours, theirs;  // a slot change on that side, if any
    std::string identity;                   // the driver's key, when not the password
    int status;
    std::vector<std::pair<std::string, int>> opens;  // identity: status of get a on the result
    // A slot change made on BASE, and the side (1 ours, 2 theirs) that is a
    // copy restored from before it: an attacker's rollback.
    std::vector<std::string> base;
    int stale;
  } cases[] = {
      {"granted on their side", {}, {"grant", "--recipient", dave_key}, carol, kOk,
       {{dave, kOk}, {carol, kOk}}, {}, 0},
      {"granted on our side", {"grant", "--recipient", dave_key}, {}, "", kOk,
       {{dave, kOk}, {carol, kOk}}, {}, 0},
      {"revoked on their side", {}, {"revoke", "carol", "-y"}, "", kOk,
       {{carol, kWrongPassword}}, {}, 0},
      {"revoked on our side", {"revoke", "carol", "-y"}, {}, "", kOk, {{carol, kWrongPassword}}, {}, 0},
      {"revoked on their side, merged by the revoked", {}, {"revoke", "carol", "-y"}, carol,
       kWrongPassword, {}, {}, 0},
      {"granted on both sides", {"grant", "--recipient", dave_key},
       {"grant", "--recipient", erin_key}, "", kRejected, {}, {}, 0},
      {"granted on one side, revoked on the other", {"grant", "--recipient", dave_key},
       {"revoke", "carol", "-y"}, "", kRejected, {}, {}, 0},
      {"theirs restored from before a revocation on BASE", {}, {}, "", kRejected,
       {{carol, kWrongPassword}}, {"revoke", "carol", "-y"}, 2},
      {"ours restored from before a revocation on BASE", {}, {}, "", kRejected, {},
       {"revoke", "carol", "-y"}, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    write_file(base + ".safe", start);
    if (!c.base.empty()) {
      ASSERT_EQ(tool_on(base, c.base).status, kOk);
      std::filesystem::remove(base + ".safe.backup2");
    }
    write_file(ours + ".safe", c.stale == 1 ? start : read_file(base + ".safe"));
    write_file(theirs + ".safe", c.stale == 2 ? start : read_file(base + ".safe"));
    // Each side adds an entry of its own beside its slot change.
    ASSERT_EQ(tool_on(ours, {"add", "ours"}, "o").status, kOk);
    ASSERT_EQ(tool_on(theirs, {"add", "theirs"}, "t").status, kOk);
    if (!c.ours.empty()) {
      ASSERT_EQ(tool_on(ours, c.ours).status, kOk);
    }
    if (!c.theirs.empty()) {
      ASSERT_EQ(tool_on(theirs, c.theirs).status, kOk);
    }
    const std::string before = read_file(ours + ".safe");
    const std::vector<std::string> files{base + ".safe", ours + ".safe", theirs + ".safe"};
    ToolResult driven;
    if (c.identity.empty()) {
      driven = tool({"merge-driver", files[0], files[1], files[2]});
    } else {
      ToolRun run;
      run.args = {"merge-driver", files[0], files[1], files[2]};
      run.env = {{"KEL_SAFE_IDENTITY", c.identity}};
      driven = run_tool(run);
    }
    EXPECT_EQ(driven.status, c.status) << driven.err;
    if (c.status != kOk) {
      EXPECT_NE(driven.err.find(c.stale != 0 ? "could bring back a revoked member"
                                : c.status == kRejected ? "both sides changed the store's key slots"
                                                        : "its slot was revoked on one side"),
                std::string::npos)
          << driven.err;
      EXPECT_TRUE(read_file(ours + ".safe") == before);
      for (const auto& [identity, status] : c.opens) {
        ToolRun run;
        run.args = {"-s", ours, "--identity", identity, "get", "ours"};
        EXPECT_EQ(run_tool(run).status, status) << identity;
      }
      continue;
    }
    EXPECT_EQ(tool_on(ours, {"ls"}).out, "a\nours\ntheirs\n");
    EXPECT_EQ(tool_on(ours, {"check"}).status, kOk);
    for (const auto& [identity, status] : c.opens) {
      ToolRun run;
      run.args = {"-s", ours, "--identity", identity, "get", "theirs"};
      EXPECT_EQ(run_tool(run).status, status) << identity;
    }
    // Nothing is left beside git's copy.
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
      EXPECT_EQ(entry.path().filename().string().find(".kel-safe-merge"), std::string::npos);
    }
    EXPECT_FALSE(std::filesystem::exists(ours + ".safe.backup2"));
  }
}

// The README's git set-up, for real: two clones of one repository change
// the store apart, and a pull merges them through the driver.
TEST_F(RoundTrip, GitMergesTwoClonesThroughTheDriver) {
  if (access("/usr/bin/git", X_OK) != 0) GTEST_SKIP() << "no git here (scripts/deps.sh installs it)";
  const std::string script = R"(set -e
git init -q --bare origin.git
git clone -q origin.git one 2>/dev/null
cd one
echo '*.safe merge=kel-safe -diff' > .gitattributes
kel-safe -s vault create --kdf-memory 19 --kdf-passes 2 -q
printf shared | kel-safe -s vault add shared -q
printf old | kel-safe -s vault add old -q
git add .gitattributes vault.safe
git commit -qm start
git push -q origin HEAD:main
cd .. && git clone -q -b main origin.git two && cd one
printf laptop | kel-safe -s vault add laptop -q
kel-safe -s vault rm old -q --drop-backup
git commit -qam laptop
git push -q origin HEAD:main
cd ../two
git config merge.kel-safe.driver 'kel-safe merge-driver %O %A %B'
printf server | kel-safe -s vault add server -q
git commit -qam server
git pull -q --no-rebase origin main >/dev/null
git status --porcelain --ignored
)";
  ToolRun run;
  run.program = "/bin/sh";
  run.args = {"-c", "cd \"$HOME\" && " + script};
  std::filesystem::create_directories(dir.file("home"));
  run.env = {{"HOME", dir.file("home")},
             {"GIT_CONFIG_NOSYSTEM", "1"},
             {"GIT_AUTHOR_NAME", "Tester"},
             {"GIT_AUTHOR_EMAIL", "tester@example.invalid"},
             {"GIT_COMMITTER_NAME", "Tester"},
             {"GIT_COMMITTER_EMAIL", "tester@example.invalid"},
             {"KEL_SAFE_PASSWORD", kPassword},
             {"PATH", std::filesystem::path(tool_path()).parent_path().string() +
                          ":/usr/bin:/bin"}};
  const ToolResult pulled = run_tool(run);
  ASSERT_EQ(pulled.status, kOk) << pulled.err;
  EXPECT_EQ(pulled.out, "");  // a clean work tree: nothing left beside the store
  const std::string merged = dir.file("home/two/vault");
  EXPECT_EQ(tool_on(merged, {"ls"}).out, "laptop\nserver\nshared\n");
  EXPECT_EQ(tool_on(merged, {"get", "laptop"}).out, "laptop");
  EXPECT_EQ(tool_on(merged, {"check"}).status, kOk);
}

}  // namespace
}  // namespace kel::test

// The ways a password reaches kel-safe: a file, an inherited descriptor, the
// environment, and the terminal prompt without echo; and what a wrong or
// refused password does.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "tool/tool_fixture.h"

namespace kel::test {
namespace {

using Passwords = ToolTest;

ToolRun bare(std::vector<std::string> args) {
  ToolRun run;
  run.args = std::move(args);
  return run;
}

TEST_F(Passwords, EverySourceOpensTheStore) {
  create_store();
  add("k", "v");

  // A file whose line ends in CR LF, as an editor on another system writes it.
  write_file(dir.file("crlf"), kPassword + "\r\n");
  EXPECT_EQ(run_tool(bare({"-s", store, "--password-file", dir.file("crlf"), "get",
                           "k"}))
                .out,
            "v");

  ToolRun by_fd = bare({"-s", store, "--password-fd", "3", "get", "k"});
  by_fd.fds[3] = kPassword + "\n";
  EXPECT_EQ(run_tool(by_fd).out, "v");

  // Environment only: store and password; the options win over it.
  ToolRun by_env = bare({"get", "k"});
  by_env.env = {{"KEL_SAFE_STORE", store}, {"KEL_SAFE_PASSWORD", kPassword}};
  const ToolResult env_result = run_tool(by_env);
  EXPECT_EQ(env_result.status, kOk) << env_result.err;
  EXPECT_EQ(env_result.out, "v");
  ToolRun file_wins = bare({"--password-file", password_file, "get", "k"});
  file_wins.env = {{"KEL_SAFE_STORE", store}, {"KEL_SAFE_PASSWORD", "Wrong-Passw0rd-123"}};
  EXPECT_EQ(run_tool(file_wins).out, "v");

  // The store named with its ".safe" suffix is the same store.
  EXPECT_EQ(run_tool(bare({"-s", store_file, "--password-file", password_file, "get",
                           "k"}))
                .out,
            "v");
}

TEST_F(Passwords, OneDescriptorCarriesPasswordThenValue) {
  create_store();
  // Read a byte at a time, the password line leaves the rest of standard
  // input, zero bytes included, to be the value.
  ToolRun run = bare({"-s", store, "--password-fd", "0", "add", "k"});
  const std::string value("rest\0of input\n", 14);
  run.input = kPassword + "\n" + value;
  const ToolResult added = run_tool(run);
  ASSERT_EQ(added.status, kOk) << added.err;
  EXPECT_EQ(tool({"get", "k"}).out, value);
}

TEST_F(Passwords, WrongPasswordHasItsOwnStatus) {
  create_store();
  add("k", "v");
  write_file(dir.file("wrong"), "Wrong-Passw0rd-123\n");
  const auto with_wrong = [&](std::vector<std::string> args, const std::string& in = "") {
    ToolRun run = bare({"-s", store, "--password-file", dir.file("wrong")});
    run.args.insert(run.args.end(), args.begin(), args.end());
    run.input = in;
    return run_tool(run);
  };
  const ToolResult verify = with_wrong({"verify"});
  EXPECT_EQ(verify.status, kFalse);
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"get", "k"}, {"ls"}, {"rm", "k"}, {"exists", "k"}, {"exists", "none"},
           {"get", "k", "-o", dir.file("out")}}) {
    const ToolResult result = with_wrong(args);
    EXPECT_EQ(result.status, kWrongPassword) << args[0] << ": " << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("wrong password (from --password-file '" + dir.file("wrong") +
                              "') for '" + store_file +
                              "', or not a kel-safe store (Invalid password)"),
              std::string::npos)
        << result.err;
  }
  EXPECT_EQ(with_wrong({"add", "other"}, "value").status, kWrongPassword);
  // Nothing was changed or left behind.
  EXPECT_EQ(tool({"ls"}).out, "k\n");
  EXPECT_EQ(files(), (std::vector<std::string>{"password", "vault.safe", "wrong"}));
}

TEST_F(Passwords, MissingOrConflictingSourcesAreUsageErrors) {
  create_store();
  // The child has no controlling terminal, so nothing can be asked.
  const ToolResult none = run_tool(bare({"-s", store, "verify"}));
  EXPECT_EQ(none.status, kUsage);
  EXPECT_NE(none.err.find("--password-file"), std::string::npos) << none.err;

  ToolRun both = bare({"-s", store, "--password-file", password_file, "--password-fd",
                       "3", "verify"});
  both.fds[3] = kPassword + "\n";
  EXPECT_EQ(run_tool(both).status, kUsage);

  write_file(dir.file("empty"), "\n");
  EXPECT_EQ(run_tool(bare({"-s", store, "--password-file", dir.file("empty"), "verify"}))
                .status,
            kRejected);
  ToolRun empty_env = bare({"-s", store, "verify"});
  empty_env.env["KEL_SAFE_PASSWORD"] = "";
  EXPECT_EQ(run_tool(empty_env).status, kRejected);
  // A password file someone else may write, or owns, could hold a password
  // of their choosing: refused, for the store and for the new password.
  write_file(dir.file("shared"), kPassword + "\n");
  chmod(dir.file("shared").c_str(), 0620);
  EXPECT_EQ(run_tool(bare({"-s", store, "--password-file", dir.file("shared"), "verify"}))
                .status,
            kRejected);
  EXPECT_EQ(tool({"passwd", "--new-password-file", dir.file("shared")}).status, kRejected);
  chmod(dir.file("shared").c_str(), 0600);
  if (geteuid() == 0 && chown(dir.file("shared").c_str(), 65534, 65534) == 0) {
    EXPECT_EQ(
        run_tool(bare({"-s", store, "--password-file", dir.file("shared"), "verify"}))
            .status,
        kRejected);
  }
  EXPECT_EQ(tool({"verify"}).status, kOk);
  EXPECT_EQ(run_tool(bare({"-s", store, "--password-file", dir.file("absent"), "verify"}))
                .status,
            kFileError);
  EXPECT_EQ(run_tool(bare({"-s", store, "--password-fd", "9", "verify"})).status,
            kFileError);
}

TEST_F(Passwords, PolicyIsAppliedToNewPasswords) {
  write_file(dir.file("weak"), "alllowercaseletters\n");
  const ToolResult weak =
      run_tool(bare({"-s", store, "--password-file", dir.file("weak"), "create"}));
  EXPECT_EQ(weak.status, kRejected);
  // Every rule it breaks, at once.
  EXPECT_NE(weak.err.find("kel-safe: create '" + store_file +
                          "': the new password is refused: it needs a digit, an "
                          "upper-case letter and a character that is neither letter "
                          "nor digit\n"),
            std::string::npos)
      << weak.err;
  EXPECT_EQ(files(), (std::vector<std::string>{"password", "weak"}));
}

TEST_F(Passwords, ChangeKeepsBackupAndDiagnosticsOffStandardOutput) {
  create_store();
  add("k", "v");
  const std::string new_password = "Fresh-Passw0rd-456!";
  // Old and new password as two lines of one descriptor.
  ToolRun change = bare({"-s", store, "--password-fd", "3", "passwd", "--new-password-fd",
                         "3"});
  change.fds[3] = kPassword + "\n" + new_password + "\n";
  const ToolResult changed = run_tool(change);
  ASSERT_EQ(changed.status, kOk) << changed.err;
  // The backup is named once, on standard error; -q silences that too.
  EXPECT_EQ(changed.out, "");
  EXPECT_NE(changed.err.find("is kept as '" + store_file + ".backup1'"), std::string::npos)
      << changed.err;
  EXPECT_EQ(count_of(changed.err, ".backup1"), 1u) << changed.err;
  ToolRun quietly = bare({"-q", "-s", store, "--password-fd", "3", "passwd",
                          "--new-password-fd", "3"});
  quietly.fds[3] = new_password + "\n" + kPassword + "\n";
  const ToolResult quiet = run_tool(quietly);
  ASSERT_EQ(quiet.status, kOk) << quiet.err;
  EXPECT_EQ(quiet.err, "");
  EXPECT_EQ(quiet.out, "");
  ToolRun again = change;
  ASSERT_EQ(run_tool(again).status, kOk);

  EXPECT_EQ(tool({"verify"}).status, kFalse);
  EXPECT_EQ(tool({"get", "k"}).status, kWrongPassword);
  ToolRun with_new = bare({"-s", store, "get", "k"});
  with_new.env["KEL_SAFE_PASSWORD"] = new_password;
  EXPECT_EQ(run_tool(with_new).out, "v");

  // The backup is the store as it was: it opens with the old password.
  write_file(dir.file("old.safe"), read_file(store_file + ".backup1"));
  EXPECT_EQ(run_tool(bare({"-s", dir.file("old.safe"), "--password-file", password_file,
                           "get", "k"}))
                .out,
            "v");

  // Back again, this time from the environment and without the backup.
  ToolRun back = bare({"-s", store, "passwd", "--drop-backup"});
  back.env = {{"KEL_SAFE_PASSWORD", new_password}, {"KEL_SAFE_NEW_PASSWORD", kPassword}};
  const ToolResult restored = run_tool(back);
  ASSERT_EQ(restored.status, kOk) << restored.err;
  struct stat info {};
  EXPECT_NE(stat((store_file + ".backup1").c_str(), &info), 0);
  EXPECT_EQ(tool({"get", "k"}).out, "v");

  // A new password the policy refuses changes nothing.
  ToolRun weak = bare({"-s", store, "--password-file", password_file, "passwd"});
  weak.env["KEL_SAFE_NEW_PASSWORD"] = "short";
  EXPECT_EQ(run_tool(weak).status, kRejected);
  EXPECT_EQ(tool({"verify"}).status, kOk);
}

// passwd's Argon2id options rewrite the header alone; --rotate-key also
// seals every entry under a new key in one rewrite, after which the old
// header opens nothing, and names both backups (which hold the old key)
// with the command that removes them. Format 1 refuses both.
TEST_F(Passwords, NewParametersAndANewKey) {
  create_store();
  add("k", "v");
  add("gone", "x");
  ASSERT_EQ(tool({"rm", "gone"}).status, kOk);  // a .backup2 under the old key
  const auto passwd = [&](const std::string& from, const std::string& to,
                          std::vector<std::string> options) {
    ToolRun run = bare({"-s", store, "passwd"});
    run.args.insert(run.args.end(), options.begin(), options.end());
    run.env = {{"KEL_SAFE_PASSWORD", from}, {"KEL_SAFE_NEW_PASSWORD", to}};
    return run_tool(run);
  };
  const std::string before = read_file(store_file);
  const ToolResult tuned =
      passwd(kPassword, kPassword, {"--kdf-memory", "20", "--kdf-lanes", "2", "--kdf-time", "1"});
  ASSERT_EQ(tuned.status, kOk) << tuned.err;
  EXPECT_NE(tuned.err.find("is format 3: Argon2id with 20 MiB, "), std::string::npos) << tuned.err;
  EXPECT_NE(tuned.err.find(", 2 lanes\n"), std::string::npos) << tuned.err;
  const std::string tuned_bytes = read_file(store_file);
  const std::size_t records = header_length(before);
  EXPECT_TRUE(tuned_bytes.substr(records) == before.substr(records))
      << "more than the header changed";
  EXPECT_EQ(tool({"get", "k"}).out, "v");

  const ToolResult rotated = passwd(kPassword, kOtherPassword, {"--rotate-key"});
  ASSERT_EQ(rotated.status, kOk) << rotated.err;
  EXPECT_TRUE(read_file(store_file + ".backup1") == tuned_bytes);
  for (const char* backup : {".backup1", ".backup2"}) {
    EXPECT_NE(rotated.err.find("remove it with: rm -- '" + store_file + backup + "'\n"),
              std::string::npos)
        << rotated.err;
  }
  const std::string now = read_file(store_file);
  EXPECT_EQ(kdf_bytes(now), kdf_bytes(tuned_bytes)) << "the parameters stay";
  ToolRun with_new = bare({"-s", store, "get", "k"});
  with_new.env["KEL_SAFE_PASSWORD"] = kOtherPassword;
  EXPECT_EQ(run_tool(with_new).out, "v");
  // The old header on the new records: the old password opens the header
  // and no entry.
  write_file(dir.file("spliced.safe"),
             tuned_bytes.substr(0, header_length(tuned_bytes)) + now.substr(header_length(now)));
  const ToolResult spliced = tool_on(dir.file("spliced"), {"get", "k"});
  EXPECT_NE(spliced.status, kOk) << spliced.out;
  EXPECT_EQ(spliced.out, "");

  const ToolResult dropped = passwd(kOtherPassword, kOtherPassword, {"--rotate-key", "--drop-backup"});
  ASSERT_EQ(dropped.status, kOk) << dropped.err;
  EXPECT_EQ(files(), (std::vector<std::string>{"password", "spliced.safe", "vault.safe"}));
  // Any one of the options is a new choice of parameters, --kdf-passes too.
  const ToolResult passes =
      passwd(kOtherPassword, kOtherPassword, {"--kdf-passes", "3", "--drop-backup"});
  ASSERT_EQ(passes.status, kOk) << passes.err;
  EXPECT_NE(passes.err.find(" MiB, 3 passes, "), std::string::npos) << passes.err;

  std::remove(store_file.c_str());
  create_store(1);
  const std::string format1 = read_file(store_file);
  for (const std::vector<std::string>& options :
       {std::vector<std::string>{"--rotate-key"}, {"--recalibrate"}}) {
    const ToolResult refused = passwd(kPassword, kOtherPassword, options);
    EXPECT_EQ(refused.status, kUsage) << refused.err;
    EXPECT_NE(refused.err.find("are for format 2"), std::string::npos) << refused.err;
  }
  EXPECT_TRUE(read_file(store_file) == format1);
}

// New stores are private to their owner unless shared on purpose.
TEST_F(Passwords, NewStoresArePrivateUnlessGrouped) {
  for (const bool group : {false, true}) {
    ToolRun run = bare({"-s", store, "--password-file", password_file, "create"});
    if (group) run.args.push_back("--group");
    run.umask = 002;
    ASSERT_EQ(run_tool(run).status, kOk);
    struct stat info {};
    ASSERT_EQ(stat(store_file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, group ? 0660u : 0600u);
    add("k", "v");
    ASSERT_EQ(tool({"rm", "k"}).status, kOk);
    ASSERT_EQ(stat((store_file + ".backup2").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, group ? 0660u : 0600u);
    std::remove(store_file.c_str());
    std::remove((store_file + ".backup2").c_str());
  }
}

// ---- The agent -----------------------------------------------------------

// An agent started for the fixture's store, its socket in a runtime folder
// of the test's own; stopped at the end whatever happened.
class Agent : public ToolTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(mkdir(runtime.c_str(), 0700), 0);
    start_on(2);
  }
  void TearDown() override { run_tool(as_client({"agent", "stop"})); }

  // A new store of `format` holding alpha, and an agent for it (the one
  // running before is stopped).
  void start_on(int format) {
    run_tool(as_client({"agent", "stop"}));
    std::remove(store_file.c_str());
    create_store(format);
    add("alpha", "value-of-alpha");
    ToolRun start = as_client({"agent", "start", "--timeout", "2m"});
    start.args.insert(start.args.begin(), {"--password-file", password_file});
    const ToolResult started = run_tool(start);
    ASSERT_EQ(started.status, kOk) << started.err;
    ASSERT_NE(started.err.find("serves '" + store_file + "' until 120s without use"),
              std::string::npos)
        << started.err;
  }

  // kel-safe on the store with no password at all.
  ToolRun as_client(std::vector<std::string> args) const {
    ToolRun run;
    run.args = {"-s", store};
    run.args.insert(run.args.end(), args.begin(), args.end());
    run.env["XDG_RUNTIME_DIR"] = runtime;
    return run;
  }
  ToolResult client(std::vector<std::string> args, const std::string& input = "") const {
    ToolRun run = as_client(std::move(args));
    run.input = input;
    return run_tool(run);
  }
  // Waits (a bounded number of times) for the agent to be gone.
  bool agent_gone() const {
    for (int tries = 0; tries < 100; ++tries) {
      if (client({"agent", "status"}).status == kFalse) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }

  // The one socket in the agent's folder.
  std::string agent_socket() const {
    std::string path;
    for (const auto& entry : std::filesystem::directory_iterator(runtime + "/kel-safe")) {
      path = entry.path().string();
    }
    return path;
  }

  std::string runtime = dir.file("run");
};

// From a second process, with no password: reads, writes and the listing go
// through the agent; what touches the caller's own files does not (get -o
// asks for the password as without an agent); a password changed by
// another process ends the agent.
TEST_F(Agent, ServesOtherProcessesUntilThePasswordChanges) {
  const ToolResult got = client({"get", "alpha"});
  EXPECT_EQ(got.status, kOk) << got.err;
  EXPECT_EQ(got.out, "value-of-alpha");
  const std::string binary = pattern_bytes(500, 9);
  const ToolResult added = client({"add", "beta"}, binary);
  EXPECT_EQ(added.status, kOk) << added.err;
  EXPECT_EQ(added.err, "kel-safe: added 'beta'\n");
  EXPECT_EQ(client({"-q", "add", "beta"}, "x").err,
            "kel-safe: add 'beta': an entry 'beta' exists already; --replace replaces its "
            "value in the same step (Item exists)\n");
  EXPECT_EQ(client({"ls", "-l"}).out, "14\talpha\n500\tbeta\n");
  EXPECT_EQ(client({"find", "ALP"}).out, "alpha\n");
  EXPECT_EQ(client({"find", "zz*"}).status, kFalse);
  ASSERT_EQ(client({"add", "code"}, "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ").status, kOk);
  EXPECT_EQ(client({"otp", "code", "--at", "59"}).out, "287082\n");
  EXPECT_EQ(client({"get", "beta", "--line", "1"}).status, kOk);
  // The agent's listing escapes control bytes for a terminal too.
  ASSERT_EQ(client({"add", "\x1b]2;title\x07"}, "v").status, kOk);
  ToolRun on_terminal = as_client({"ls", "\x1b"});
  on_terminal.with_terminal = on_terminal.stdio_is_terminal = true;
  if (have_pseudo_terminals()) {
    EXPECT_EQ(run_tool(on_terminal).terminal, "$'\\x1b]2;title\\x07'\r\n");
  }
  EXPECT_EQ(client({"exists", "gamma"}).status, kFalse);
  EXPECT_EQ(tool({"get", "beta"}).out, binary);  // the file holds it
  add("gamma", "added by another process");     // and the agent follows the file
  EXPECT_EQ(client({"get", "gamma"}).out, "added by another process");

  const ToolResult status = client({"agent", "status"});
  EXPECT_EQ(status.status, kOk);
  EXPECT_NE(status.out.find("serves '" + store_file + "'; it locks at "), std::string::npos)
      << status.out;
  EXPECT_EQ(client({"get", "alpha", "-o", dir.file("out")}).status, kUsage);
  // --clip starts a program, which the agent never does: a password is needed.
  write_fake_clipboard(dir.file("bin"));
  ToolRun clip = as_client({"get", "alpha", "--clip"});
  clip.env.insert({{"WAYLAND_DISPLAY", "w"}, {"PATH", dir.file("bin") + ":/usr/bin:/bin"}});
  EXPECT_EQ(run_tool(clip).status, kUsage);
  EXPECT_FALSE(std::filesystem::exists(dir.file("bin/log")));
  EXPECT_EQ(client({"agent", "start"}).status, kExists);
  // edit asks the agent for the value and hands it the new one; its editor
  // runs here (the runtime folder of this test is on a disk).
  write_fake_editor(dir.file("editor"));
  ToolRun edit = as_client({"edit", "alpha", "--allow-disk"});
  edit.env.insert({{"EDITOR", dir.file("editor") + " append"}, {"VISUAL", ""}});
  const ToolResult edited = run_tool(edit);
  EXPECT_EQ(edited.status, kOk) << edited.err;
  EXPECT_EQ(edited.err.substr(0, edited.err.find('\n')), "kel-safe: changed 'alpha'");
  EXPECT_EQ(client({"get", "alpha"}).out, "value-of-alpha\nmore");
  // A QR code is drawn in the agent, for this process's output.
  EXPECT_EQ(client({"get", "alpha", "--qr"}).status, kUsage);
  const ToolResult drawn = client({"get", "alpha", "--qr", "--force"});
  EXPECT_EQ(drawn.out, tool({"get", "alpha", "--qr", "--force"}).out);
  EXPECT_NE(drawn.out.find("\u2588"), std::string::npos);

  ToolRun passwd;
  passwd.args = {"-s", store, "--password-file", password_file, "passwd",
                 "--drop-backup"};
  passwd.env["KEL_SAFE_NEW_PASSWORD"] = kOtherPassword;
  ASSERT_EQ(run_tool(passwd).status, kOk);
  EXPECT_TRUE(agent_gone());
  EXPECT_EQ(client({"get", "alpha"}).status, kUsage);  // no agent: a password is needed
  // The old password no longer opens the store: the agent says so as itself.
  ToolRun again = as_client({"agent", "start"});
  again.args.insert(again.args.begin(), {"--password-file", password_file});
  const ToolResult refused = run_tool(again);
  EXPECT_NE(refused.status, kOk);
  EXPECT_EQ(refused.err.rfind("kel-safe: agent: ", 0), 0u) << refused.err;
}

// The default store is the same for the agent and its clients: neither
// names it.
TEST_F(Agent, ServesTheDefaultStore) {
  const std::map<std::string, std::string> env{{"XDG_RUNTIME_DIR", runtime},
                                               {"XDG_DATA_HOME", dir.file("data")}};
  ASSERT_EQ(tool_at_home(create_args(2), env).status, kOk);
  ASSERT_EQ(tool_at_home({"add", "k"}, env, "v").status, kOk);
  const ToolResult started = tool_at_home({"agent", "start", "--timeout", "1m"}, env);
  ASSERT_EQ(started.status, kOk) << started.err;
  EXPECT_NE(started.err.find("serves '" + dir.file("data") + "/kel-safe/default.safe'"),
            std::string::npos)
      << started.err;
  ToolRun client;  // no password
  client.env = env;
  client.env["HOME"] = home;
  client.args = {"get", "k"};
  const ToolResult got = run_tool(client);
  EXPECT_EQ(got.status, kOk) << got.err;
  EXPECT_EQ(got.out, "v");
  client.args = {"agent", "stop"};
  EXPECT_EQ(run_tool(client).status, kOk);
}

// Every byte of a name reaches the agent as it was given, a line end too:
// `prod\n` is not `prod`. On both formats, from one table.
TEST_F(Agent, CarriesEveryByteOfANameOnBothFormats) {
  const std::vector<std::string> names = {"prod", "prod\n", "\nprod", "a b\tc",
                                          "\x01\x1b]52;c;eA==\x07\r\x7f\xff'\"\\ x"};
  for (const int format : {2, 1}) {
    SCOPED_TRACE("format " + std::to_string(format));
    if (format != 2) start_on(format);
    for (std::size_t i = 0; i < names.size(); ++i) {
      EXPECT_EQ(client({"add", "--", names[i]}, "value-" + std::to_string(i)).status, kOk);
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
      EXPECT_EQ(client({"get", "--", names[i]}).out, "value-" + std::to_string(i));
    }
    EXPECT_EQ(client({"rm", "--", "prod\n"}).status, kOk);
    EXPECT_EQ(client({"get", "--", "prod\n"}).status, kNotFound);
    EXPECT_EQ(tool({"get", "prod"}).out, "value-0");  // the file holds it still
  }
}

// With no runtime directory, a kel-safe-UID directory that another user
// made first does not stop the agent: it takes a private one with a random
// name beside it, which its clients find; the taken one is left unused.
TEST_F(Agent, PassesByADirectoryAnotherUserTook) {
  if (geteuid() != 0) GTEST_SKIP() << "another uid needs root";
  const std::string user = dir.file("user"), temporary = dir.file("tmp");
  const std::string taken = temporary + "/kel-safe-65534";
  ASSERT_EQ(mkdir(user.c_str(), 0700), 0);
  ASSERT_EQ(chown(user.c_str(), 65534, 65534), 0);
  for (const std::string& path : {temporary, taken}) ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
  chmod(temporary.c_str(), 01777);
  chmod(taken.c_str(), 0777);
  chmod(std::string(dir.path()).c_str(), 0711);
  const auto as_user = [&](std::vector<std::string> args, bool password,
                           const std::string& input = "") {
    ToolRun run;
    run.args = {"-s", user + "/s"};
    run.args.insert(run.args.end(), args.begin(), args.end());
    run.env = {{"XDG_RUNTIME_DIR", ""}, {"TMPDIR", temporary}, {"HOME", user}};
    if (password) run.env["KEL_SAFE_PASSWORD"] = kPassword;
    run.input = input;
    run.drop_root = true;
    return run_tool(run);
  };
  ASSERT_EQ(as_user(create_args(2), true).status, kOk);
  const ToolResult started = as_user({"agent", "start", "--timeout", "1m"}, true);
  ASSERT_EQ(started.status, kOk) << started.err;
  EXPECT_EQ(as_user({"add", "k"}, false, "v").status, kOk);  // no password: the agent's work
  EXPECT_EQ(as_user({"get", "k"}, false).out, "v");
  EXPECT_EQ(as_user({"agent", "stop"}, false).status, kOk);
  EXPECT_TRUE(std::filesystem::is_empty(taken));
  std::size_t private_ones = 0;
  for (const auto& entry : std::filesystem::directory_iterator(temporary)) {
    struct stat info {};
    const bool ok = lstat(entry.path().c_str(), &info) == 0 && info.st_uid == 65534 &&
                    (info.st_mode & 07777) == 0700;
    private_ones += entry.path().filename().string().rfind("kel-safe-65534.", 0) == 0 && ok;
  }
  EXPECT_EQ(private_ones, 1u);
}

// Another store (another key) put in the file's place: the agent serves it
// nothing and ends; the command runs without it and needs a password.
// An agent started with an identity asks for no password, and serves
// others as any agent does; a revocation ends it, as a password change does.
TEST_F(Agent, StartsWithAnIdentityAndNoPassword) {
  start_on(3);
  ASSERT_EQ(client({"agent", "stop"}).status, kOk);
  const std::string identity = dir.file("id");
  ASSERT_EQ(tool({"grant", "--recipient", make_identity(identity), "--label", "me"}).status, kOk);
  const ToolResult started = client({"--identity", identity, "agent", "start"});
  ASSERT_EQ(started.status, kOk) << started.err;
  EXPECT_EQ(client({"get", "alpha"}).out, "value-of-alpha");
  EXPECT_NE(client({"slots"}).out.find("1*   recipient "), std::string::npos);
  ASSERT_EQ(tool({"revoke", "me", "-y"}).status, kOk);
  EXPECT_NE(client({"get", "alpha"}).status, kOk);
  EXPECT_TRUE(agent_gone());
}

TEST_F(Agent, EndsWhenAnotherStoreTakesThePlace) {
  create_store_on(dir.file("other"));
  ASSERT_EQ(rename(dir.file("other.safe").c_str(), store_file.c_str()), 0);
  EXPECT_EQ(client({"add", "beta"}, "sealed with the wrong key").status, kUsage);
  EXPECT_TRUE(agent_gone());
  EXPECT_EQ(tool({"check"}).status, kOk);
}

// A client that sends its request a byte at a time holds the agent up for
// a bounded time only: the whole request must come within the agent's
// limit, and the client connected behind it is served then.
TEST_F(Agent, ASlowClientDoesNotHoldOthersUp) {
  const int slow = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(slow, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, agent_socket().c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(connect(slow, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  std::atomic<bool> served{false};
  std::thread dribble([&] {
    while (!served && send(slow, "s", 1, MSG_NOSIGNAL) == 1) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  });
  const ToolResult got = client({"get", "alpha"});
  served = true;
  dribble.join();
  close(slow);
  EXPECT_EQ(got.status, kOk) << got.err;
  EXPECT_EQ(got.out, "value-of-alpha");
}

// The key the agent holds for its whole life is in locked memory (locks are
// not inherited by a forked process: the agent must make its own).
TEST_F(Agent, KeepsItsKeyInLockedMemory) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer makes mlock do nothing";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  GTEST_SKIP() << "AddressSanitizer makes mlock do nothing";
#endif
#endif
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_MEMLOCK, &limit), 0);
  if (geteuid() != 0 && limit.rlim_cur < 64 * 1024) GTEST_SKIP() << "no memory may be locked";
  const std::string status = client({"agent", "status"}).out;  // "agent PID serves ..."
  const std::string pid = status.substr(6, status.find(' ', 6) - 6);
  const std::string proc = read_file("/proc/" + pid + "/status");
  const std::size_t at = proc.find("VmLck:");
  ASSERT_NE(at, std::string::npos) << status;
  EXPECT_GT(std::stol(proc.substr(at + 6)), 0L) << proc.substr(at, 30);
}

// The agent keeps the descriptor the library opened for the store, and
// none that its starter inherited (the password's, another pipe).
TEST_F(Agent, KeepsTheStoreOpenAndNothingInherited) {
  ASSERT_EQ(client({"agent", "stop"}).status, kOk);
  ToolRun start = as_client({"--password-fd", "3", "agent", "start"});
  start.fds = {{3, kPassword + "\n"}, {4, "inherited"}};
  ASSERT_EQ(run_tool(start).status, kOk);
  const std::string status = client({"agent", "status"}).out;  // "agent PID serves ..."
  const std::string pid = status.substr(6, status.find(' ', 6) - 6);
  std::vector<std::string> held;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/" + pid + "/fd")) {
    held.push_back(std::filesystem::read_symlink(entry.path()).string());
  }
  EXPECT_GE(std::count(held.begin(), held.end(), std::filesystem::canonical(store_file).string()),
            1);
  for (const std::string& target : held) EXPECT_EQ(target.rfind("pipe:", 0), std::string::npos);
  EXPECT_EQ(client({"rm", "alpha"}).status, kOk);  // and writes to it
}

// The client checks who serves the socket too: a listener of another user
// there is not taken for the agent, whatever it answers.
TEST_F(Agent, ClientRefusesAListenerOfAnotherUser) {
  if (geteuid() != 0) GTEST_SKIP() << "another uid needs root";
  const std::string socket_path = agent_socket();
  ASSERT_EQ(client({"agent", "stop"}).status, kOk);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket_path.c_str(), sizeof address.sun_path - 1);
    // Bound where only the user could, but listening as another uid.
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        setgid(65534) != 0 || setuid(65534) != 0 || listen(fd, 4) != 0) {
      _exit(10);
    }
    if (write(ready[1], "R", 1) != 1) _exit(11);
    const int connection = accept(fd, nullptr, nullptr);
    char request[256];
    if (read(connection, request, sizeof request) <= 0) _exit(12);
    const std::string forged = "ok\nstatus 0\nlength 6\nforgednotes 0\n";
    _exit(write(connection, forged.data(), forged.size()) > 0 ? 0 : 13);
  }
  close(ready[1]);
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  close(ready[0]);
  const ToolResult got = client({"get", "alpha"});
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  EXPECT_EQ(got.out, "");
  EXPECT_EQ(got.status, kUsage);  // run without the agent: no password here
}

// The socket is the user's (0600 in a 0700 folder); even when another user
// can reach it, the agent answers nobody but the user who started it.
TEST_F(Agent, RefusesAnotherUser) {
  struct stat info {};
  const std::string folder = runtime + "/kel-safe";
  ASSERT_EQ(stat(folder.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  if (geteuid() != 0) GTEST_SKIP() << "another uid needs root";
  const std::string socket_path = agent_socket();
  ASSERT_EQ(stat(socket_path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(stat(store_file.c_str(), &info), 0);
  const std::string request =
      "store " + std::to_string(info.st_dev) + " " + std::to_string(info.st_ino) + "\n";
  // Opened for everyone, as a careless or hostile setup might.
  struct stat top {};
  ASSERT_EQ(stat(std::string(dir.path()).c_str(), &top), 0);
  for (const std::string& path : {std::string(dir.path()), runtime, folder}) {
    chmod(path.c_str(), 0711);
  }
  chmod(socket_path.c_str(), 0666);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket_path.c_str(), sizeof address.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) _exit(11);
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size())) {
      _exit(0);  // closed on us already
    }
    char answer[16];
    _exit(read(fd, answer, sizeof answer) <= 0 ? 0 : 12);  // closed unanswered
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  // kel-safe itself, run as that user, does not take a folder that is not
  // its own for an agent's, and gets nothing.
  if (access("/usr/bin/setpriv", X_OK) == 0) {
    ToolRun other = as_client({"get", "alpha"});
    other.args.insert(other.args.begin(), {"--reuid=65534", "--regid=65534",
                                           "--clear-groups", tool_path()});
    other.program = "/usr/bin/setpriv";
    const ToolResult refused = run_tool(other);
    EXPECT_NE(refused.status, kOk);
    EXPECT_EQ(refused.out, "");
  }
  chmod(std::string(dir.path()).c_str(), top.st_mode & 07777);
  chmod(runtime.c_str(), 0700);
  chmod(folder.c_str(), 0700);
  EXPECT_EQ(client({"get", "alpha"}).out, "value-of-alpha");  // the owner still is served
}

// ---- The terminal --------------------------------------------------------

class Terminal : public ToolTest {
 protected:
  void SetUp() override {
    if (!have_pseudo_terminals()) GTEST_SKIP() << "no pseudo-terminals here";
  }
};

TEST_F(Terminal, PromptAsksTwiceWithoutEcho) {
  ToolRun create = bare({"-s", store, "create", "--kdf-memory", "19", "--kdf-passes", "2"});
  create.with_terminal = true;
  create.dialogue = {{"New password for", kPassword + "\n"},
                     {"Repeat it: ", kPassword + "\n"}};
  const ToolResult created = run_tool(create);
  ASSERT_EQ(created.status, kOk) << created.err << created.terminal;
  EXPECT_EQ(created.terminal.find(kPassword), std::string::npos) << created.terminal;

  ToolRun get = bare({"-s", store, "verify"});
  get.with_terminal = true;
  get.dialogue = {{"Password for", kPassword + "\n"}};
  const ToolResult verified = run_tool(get);
  EXPECT_EQ(verified.status, kOk) << verified.err;
  EXPECT_EQ(verified.terminal.find(kPassword), std::string::npos);
  // Echo is back on once the tool is done.
  EXPECT_TRUE(verified.echo_after);
  EXPECT_TRUE(created.echo_after);
}

TEST_F(Terminal, PromptRefusesMismatchAndWeakPasswords) {
  ToolRun mismatch = bare({"-s", store, "create"});
  mismatch.with_terminal = true;
  mismatch.dialogue = {{"New password for", kPassword + "\n"},
                       {"Repeat it: ", kOtherPassword + "\n"}};
  const ToolResult refused = run_tool(mismatch);
  EXPECT_EQ(refused.status, kRejected);
  EXPECT_NE(refused.err.find("do not match"), std::string::npos) << refused.err;

  // A weak password is refused before it is asked again.
  ToolRun weak = bare({"-s", store, "create"});
  weak.with_terminal = true;
  weak.dialogue = {{"New password for", "Sh0rt!\n"}};
  const ToolResult short_one = run_tool(weak);
  EXPECT_EQ(short_one.status, kRejected);
  EXPECT_NE(short_one.err.find("the new password is refused: it needs at least 14 bytes\n"),
            std::string::npos)
      << short_one.err;
  EXPECT_EQ(short_one.terminal.find("Repeat it"), std::string::npos);
  EXPECT_EQ(files(), (std::vector<std::string>{"password"}));
}

// While the tool waits at a prompt: no copy of a password from the
// environment is left in /proc/PID/environ (a second entry of the same name
// included), it leaves no core dump, and it holds the terminal's lock.
TEST_F(Terminal, WaitingToolKeepsItsSecrets) {
  create_store();
  ToolRun add_typed = bare({"-s", store, "add", "typed"});
  add_typed.raw_env = {"KEL_SAFE_PASSWORD=" + kPassword,
                       "KEL_SAFE_PASSWORD=Second-Secret-77!"};
  add_typed.with_terminal = true;
  add_typed.stdin_is_terminal = true;
  add_typed.dialogue = {{"Value of 'typed': ", "v\n"}, {"Repeat it: ", "v\n"}};
  add_typed.at_prompt = [&](std::size_t step, pid_t child, int master) {
    if (step != 0) return;
    const std::string proc = "/proc/" + std::to_string(child);
    const std::string environment = read_file(proc + "/environ");
    EXPECT_EQ(environment.find("Second-Secret"), std::string::npos);
    EXPECT_EQ(environment.find(kPassword), std::string::npos);
    EXPECT_NE(read_file(proc + "/limits").find(
                  "Max core file size        0                    0"),
              std::string::npos);
    const int other = open(ptsname(master), O_RDONLY | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(other, 0);
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    ASSERT_EQ(fcntl(other, F_OFD_GETLK, &probe), 0);
    EXPECT_EQ(probe.l_type, F_WRLCK) << "the terminal is not locked";
    close(other);
  };
  const ToolResult added = run_tool(add_typed);
  ASSERT_EQ(added.status, kOk) << added.err << added.terminal;
  EXPECT_EQ(tool({"get", "typed"}).out, "v");
}

// Ctrl-Z at the prompt gives the terminal its echo back while the tool is
// stopped; continued, it turns echo off again and asks anew. A password
// descriptor that is the terminal is read the same way.
TEST_F(Terminal, StoppedPromptRestoresEcho) {
  create_store();
  ToolRun verify = bare({"-s", store, "--password-fd", "0", "verify"});
  verify.with_terminal = true;
  verify.stdin_is_terminal = true;
  verify.dialogue = {{"Password for", ""}, {"Password for", kPassword + "\n"}};
  verify.at_prompt = [&](std::size_t step, pid_t child, int master) {
    if (step != 0) return;
    ASSERT_EQ(kill(child, SIGTSTP), 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, WUNTRACED), child);
    ASSERT_TRUE(WIFSTOPPED(status));
    struct termios mode {};
    ASSERT_EQ(tcgetattr(master, &mode), 0);
    EXPECT_NE(mode.c_lflag & ECHO, 0u);
    ASSERT_EQ(kill(child, SIGCONT), 0);
  };
  const ToolResult verified = run_tool(verify);
  EXPECT_EQ(verified.status, kOk) << verified.err << verified.terminal;
  EXPECT_EQ(verified.terminal.find(kPassword), std::string::npos) << verified.terminal;
  EXPECT_TRUE(verified.echo_after);
}

TEST_F(Terminal, ThreeTriesForTheStorePassword) {
  create_store();
  for (const bool third_right : {true, false}) {
    ToolRun run = bare({"-s", store, "exists", "absent"});
    run.with_terminal = true;
    run.dialogue = {{"Password for", kOtherPassword + "\n"},
                    {"Password for", kOtherPassword + "\n"},
                    {"Password for", (third_right ? kPassword : kOtherPassword) + "\n"}};
    const ToolResult result = run_tool(run);
    EXPECT_EQ(result.status, third_right ? kFalse : kWrongPassword) << result.err;
    EXPECT_EQ(count_of(result.err, "kel-safe: wrong password, try again\n"), 2u) << result.err;
    if (!third_right) {
      EXPECT_NE(result.err.find("kel-safe: exists 'absent': wrong password (typed on the "
                                "terminal) for '" +
                                store_file + "', or not a kel-safe store (Invalid password)\n"),
                std::string::npos)
          << result.err;
    }
  }
}

// kel-safe shell on a terminal: one password, then commands with line
// editing (backspace, ^A, history with ^P) and completion; Ctrl-C cancels
// the line being typed, not the session; the value prompt of add does not
// echo; ls escapes a name's control bytes there (a pipe gets them raw);
// idle, the store locks and the next command asks for the password again.
// Nothing is written to the home folder.
TEST_F(Terminal, ShellEditsCompletesHidesValuesAndLocksWhenIdle) {
  create_store();
  add("alpha", "value-of-alpha");
  const std::string clipboard = "\x1b]52;c;aGk=\x07x";  // OSC 52: writes the clipboard
  add(clipboard, "v");
  ToolRun shell = bare({"-s", store, "shell", "--timeout", "2s"});
  shell.env["HOME"] = dir.path();
  shell.with_terminal = true;
  shell.stdio_is_terminal = true;
  shell.dialogue = {{"Password for", kPassword + "\n"},
                    {"kel-safe> ", "rm alpha"},
                    {"rm alpha", "\x03"},  // Ctrl-C: the line is dropped
                    {"kel-safe> ", "et alpXY\x7f\x7fha\x01g\n"},  // get alpha
                    {"value-of-alpha", "add typed\n"},
                    {"Value of 'typed': ", "hidden-value-77\n"},
                    {"Repeat it: ", "hidden-value-77\n"},
                    {"added 'typed'", "get ty\t\n"},  // completed to "typed"
                    {"hidden-value-77", "\x10\n"},     // ^P: the same again
                    {"hidden-value-77", ""},
                    {"locked after 2s", "ls\n"},
                    {"Password for", kPassword + "\n"},
                    {"typed", "exit\n"}};
  const ToolResult result = run_tool(shell);
  EXPECT_EQ(result.status, kOk) << result.terminal;
  EXPECT_EQ(count_of(result.terminal, "Password for"), 2u) << result.terminal;
  EXPECT_EQ(count_of(result.terminal, "hidden-value-77"), 2u) << result.terminal;
  EXPECT_EQ(result.terminal.find(kPassword), std::string::npos) << result.terminal;
  EXPECT_NE(result.terminal.find("kel-safe (locked)> "), std::string::npos) << result.terminal;
  EXPECT_TRUE(result.echo_after);
  EXPECT_EQ(tool({"get", "typed"}).out, "hidden-value-77");
  EXPECT_EQ(tool({"get", "alpha"}).out, "value-of-alpha");
  EXPECT_NE(result.terminal.find("$'\\x1b]52;c;aGk=\\x07x'\r\n"), std::string::npos)
      << result.terminal;
  EXPECT_EQ(result.terminal.find(clipboard), std::string::npos) << result.terminal;
  EXPECT_EQ(tool({"ls"}).out, clipboard + "\nalpha\ntyped\n");
  EXPECT_EQ(files(), (std::vector<std::string>{"password", "vault.safe"}));
}

// A shell given the password by KEL_SAFE_PASSWORD opens the store without a
// prompt; `lock` then really locks: the next command asks on the terminal.
TEST_F(Terminal, ShellLockAsksForThePasswordFromTheEnvironmentAgain) {
  create_store();
  add("alpha", "a");
  ToolRun shell = bare({"-s", store, "shell"});
  shell.env["HOME"] = dir.path();
  shell.env["KEL_SAFE_PASSWORD"] = kPassword;
  shell.with_terminal = true;
  shell.stdio_is_terminal = true;
  shell.dialogue = {{"kel-safe> ", "ls\n"},
                    {"alpha", "lock\n"},
                    {"kel-safe (locked)> ", "ls\n"},
                    {"Password for", kPassword + "\n"},
                    {"alpha", "exit\n"}};
  const ToolResult result = run_tool(shell);
  EXPECT_EQ(result.status, kOk) << result.terminal;
  EXPECT_EQ(count_of(result.terminal, "Password for"), 1u) << result.terminal;
  EXPECT_EQ(count_of(result.terminal, "alpha"), 2u) << result.terminal;
}

TEST_F(Terminal, ValueTypedOnTheTerminal) {
  create_store();
  ToolRun add_typed = bare({"-s", store, "add", "typed"});
  add_typed.env["KEL_SAFE_PASSWORD"] = kPassword;
  add_typed.with_terminal = true;
  add_typed.stdin_is_terminal = true;
  add_typed.dialogue = {{"Value of 'typed': ", "s3cret value\n"},
                        {"Repeat it: ", "s3cret value\n"}};
  const ToolResult added = run_tool(add_typed);
  ASSERT_EQ(added.status, kOk) << added.err << added.terminal;
  EXPECT_EQ(added.terminal.find("s3cret"), std::string::npos) << added.terminal;
  // The line end ends the typed value; it is not part of it.
  EXPECT_EQ(tool({"get", "typed"}).out, "s3cret value");
}

}  // namespace
}  // namespace kel::test

// Exit statuses, help texts, and the separation of data (standard output)
// from everything else (standard error).
#include <filesystem>
#include <string>
#include <tuple>

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
  for (const auto& args : std::vector<std::vector<std::string>>{
           {},
           {"frobnicate"},
           {"--no-such-option", "ls"},
           {"-s", store, "get"},                   // NAME missing
           {"-s", store, "ls", "--json", "-0"},    // excluding options
           {"-s", store, "--password-fd", "-1", "ls"},
           {"get", "k"},                           // no store given at all
       }) {
    const ToolResult result = bare(args);
    EXPECT_EQ(result.status, kUsage) << testing::PrintToString(args) << result.err;
    EXPECT_EQ(result.out, "") << testing::PrintToString(args);
    EXPECT_FALSE(result.err.empty());
  }
}

TEST_F(Statuses, HelpForEverySubcommand) {
  const ToolResult top = bare({"--help"});
  EXPECT_EQ(top.status, kOk);
  EXPECT_EQ(top.err, "");
  for (const char* word : {"create", "verify", "passwd", "add", "get", "exists", "ls",
                           "rm", "check", "repair", "version", "Exit status", "KEL_SAFE_PASSWORD"}) {
    EXPECT_NE(top.out.find(word), std::string::npos) << word;
  }
  for (const std::string sub :
       {"create", "verify", "passwd", "add", "get", "exists", "ls", "rm", "check", "repair", "version"}) {
    const ToolResult help = bare({sub, "--help"});
    EXPECT_EQ(help.status, kOk) << sub;
    EXPECT_NE(help.out.find("kel-safe " + sub), std::string::npos) << help.out;
    EXPECT_EQ(help.err, "") << sub;
  }
  EXPECT_NE(bare({"get", "--help"}).out.find("--output"), std::string::npos);
  EXPECT_NE(bare({"passwd", "--help"}).out.find("--new-password-fd"), std::string::npos);
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

  // A store whose key no longer unwraps cannot answer: exists must not say
  // "not stored".
  std::string broken = read_file(store_file);
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
           {std::string(200, 'x'), kWrongPassword, "wrong password, or not a kel-safe store"},
           {std::string(132, '\0'), kWrongPassword, "wrong password, or not a kel-safe store"},
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

TEST_F(Statuses, CheckStatesTheResultFirstAndExitsSevenOnDamage) {
  create_store();
  add("s1", "value1");
  add("s2", "value2");
  add("s3", "value3");
  const ToolResult intact = tool({"check"});
  EXPECT_EQ(intact.status, kOk) << intact.err;
  EXPECT_EQ(intact.out.rfind("intact: ", 0), 0u) << intact.out;
  EXPECT_NE(intact.out.find("3 entries authenticate"), std::string::npos) << intact.out;

  std::string bytes = read_file(store_file);
  const std::size_t second = 132 + 2 + 41 + 6 + 28;
  bytes[second + 1] = static_cast<char>(bytes[second + 1] ^ 0x40);  // its name
  write_file(store_file, bytes);
  const ToolResult damaged = tool({"check"});
  EXPECT_EQ(damaged.status, kStoreError);
  EXPECT_EQ(damaged.out.rfind("damaged: ", 0), 0u) << damaged.out;
  EXPECT_NE(damaged.out.find("damaged region at offset " + std::to_string(second) + ", 77 bytes"),
            std::string::npos)
      << damaged.out;
  const ToolResult json = tool({"check", "--json"});
  EXPECT_EQ(json.status, kStoreError);
  EXPECT_EQ(json.out.rfind("{\"result\":\"damaged\"", 0), 0u) << json.out;
  EXPECT_NE(json.out.find("\"intact\":2"), std::string::npos) << json.out;
  // The entries around the damage still answer.
  EXPECT_EQ(tool({"get", "s1"}).out, "value1");
  EXPECT_EQ(tool({"get", "s3"}).out, "value3");
  EXPECT_EQ(tool({"exists", "s3"}).status, kOk);
  EXPECT_EQ(tool({"ls"}).out, "s1\ns3\n");

  // Repair keeps the second value under a new name and the damaged file aside.
  const ToolResult repair = tool({"repair"});
  EXPECT_EQ(repair.status, kOk) << repair.err;
  EXPECT_EQ(repair.out.rfind("repaired: ", 0), 0u) << repair.out;
  const std::string recovered = "recovered-" + std::to_string(second);
  EXPECT_NE(repair.out.find(recovered), std::string::npos) << repair.out;
  EXPECT_EQ(tool({"get", recovered}).out, "value2");
  EXPECT_EQ(tool({"check"}).status, kOk);
  EXPECT_EQ(tool({"repair"}).out.rfind("intact: ", 0), 0u);
  std::size_t backups = 0;
  for (const std::string& name : files()) backups += name.rfind("vault.safe.damaged-", 0) == 0;
  EXPECT_EQ(backups, 1u);
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
  const ToolResult quiet = tool({"-q", "add", "q"}, "v");
  EXPECT_EQ(quiet.status, kOk);
  EXPECT_EQ(quiet.err, "");
  // Options of the whole tool may also follow the subcommand.
  const ToolResult after = tool({"rm", "q", "--quiet", "--drop-backup"});
  EXPECT_EQ(after.status, kOk);
  EXPECT_EQ(after.err, "");
}

}  // namespace
}  // namespace kel::test

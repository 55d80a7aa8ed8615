// Exit statuses, help texts, and the separation of data (standard output)
// from everything else (standard error).
#include <string>

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
                           "rm", "version", "Exit status", "KEL_SAFE_PASSWORD"}) {
    EXPECT_NE(top.out.find(word), std::string::npos) << word;
  }
  for (const std::string sub :
       {"create", "verify", "passwd", "add", "get", "exists", "ls", "rm", "version"}) {
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

  // A store file that is not a store at all.
  write_file(dir.file("junk.safe"), std::string(200, 'x'));
  ToolRun junk;
  junk.args = {"-s", dir.file("junk"), "--password-file", password_file, "ls"};
  const ToolResult junk_result = run_tool(junk);
  EXPECT_NE(junk_result.status, kOk);
  EXPECT_EQ(junk_result.out, "");
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

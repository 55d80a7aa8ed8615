#include "tool/tool_fixture.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <random>

namespace kel::test {

ToolTest::ToolTest()
    : store(dir.file("vault")),
      store_file(dir.file("vault.safe")),
      password_file(dir.file("password")),
      home(dir.file("home")) {
  write_file(password_file, kPassword + "\n");
  chmod(password_file.c_str(), 0600);
}

ToolResult ToolTest::tool(std::vector<std::string> args, const std::string& input) {
  return tool_on(store, std::move(args), input);
}

ToolResult ToolTest::tool_on(const std::string& other, std::vector<std::string> args,
                             const std::string& input) {
  ToolRun run;
  run.args = {"-s", other, "--password-file", password_file};
  run.args.insert(run.args.end(), args.begin(), args.end());
  run.input = input;
  return run_tool(run);
}

ToolResult ToolTest::keyed(std::vector<std::string> args, std::map<std::string, std::string> env,
                           const std::string& input) {
  ToolRun run;
  run.args = {"-s", store};
  run.args.insert(run.args.end(), args.begin(), args.end());
  run.env = std::move(env);
  run.input = input;
  return run_tool(run);
}

std::string make_identity(const std::string& path) {
  ToolRun run;
  run.args = {"keygen", "-o", path};
  const ToolResult made = run_tool(run);
  EXPECT_EQ(made.status, 0) << made.err;
  EXPECT_EQ(std::count(made.out.begin(), made.out.end(), '\n'), 1) << made.out;
  return made.out.substr(0, made.out.find('\n'));
}

std::vector<std::string> create_args(int format) {
  // Format 3 is what a new user gets. The smallest Argon2id cost keeps each
  // command cheap enough for a suite that runs hundreds of them.
  if (format == 1) return {"create", "--format", "1"};
  return {"create", "--format", std::to_string(format), "--kdf-memory", "19", "--kdf-passes",
          "2"};
}

std::size_t header_length(const std::string& bytes) {
  if (bytes.size() < 16 || bytes.compare(0, 12, std::string("\x89KELSAFE\x03\0\0\0", 12)) != 0) {
    return 132;
  }
  std::size_t length = 0;
  for (int i = 3; i >= 0; --i) length = length << 8 | static_cast<unsigned char>(bytes[12 + i]);
  return length;
}

std::string kdf_bytes(const std::string& bytes) {
  // Format 3: the header's 52 bytes, the slot's 13 before its label, and its
  // keys and wrapped store key (124 bytes).
  return header_length(bytes) == 132 ? bytes.substr(12, 12) : bytes.substr(52 + 13 + 124, 12);
}

void ToolTest::create_store(int format) { create_store_on(store, format); }

void ToolTest::create_store_on(const std::string& other, int format) {
  const ToolResult created = tool_on(other, create_args(format));
  ASSERT_EQ(created.status, kOk) << created.err;
}

void ToolTest::add(const std::string& name, const std::string& value) {
  const ToolResult added = tool({"add", name}, value);
  ASSERT_EQ(added.status, kOk) << added.err;
}

ToolResult ToolTest::tool_at_home(std::vector<std::string> args,
                                  std::map<std::string, std::string> env,
                                  const std::string& input) {
  ToolRun run;
  run.args = {"--password-file", password_file};
  run.args.insert(run.args.end(), args.begin(), args.end());
  run.env = std::move(env);
  run.env.emplace("HOME", home);
  run.input = input;
  return run_tool(run);
}

void write_fake_clipboard(const std::string& folder) {
  std::filesystem::create_directories(folder);
  write_file(folder + "/wl-copy",
             "#!/bin/sh\n"
             "d=$(dirname \"$0\")\n"
             "printf 'copy %s\\n' \"$*\" >> \"$d/log\"\n"
             "if [ \"$1\" = --clear ]; then : > \"$d/clip\"; else cat > \"$d/clip\"; fi\n");
  write_file(folder + "/wl-paste",
             "#!/bin/sh\n"
             "d=$(dirname \"$0\")\n"
             "printf 'paste %s %s\\n' \"$PPID\" \"$*\" >> \"$d/log\"\n"
             "if [ -e \"$d/changed\" ]; then printf other; else cat \"$d/clip\"; fi\n");
  chmod((folder + "/wl-copy").c_str(), 0700);
  chmod((folder + "/wl-paste").c_str(), 0700);
}

void write_fake_editor(const std::string& path) {
  write_file(path,
             "#!/bin/sh\n"
             "f=$2; d=$(dirname \"$f\")\n"
             "echo \"$f $(stat -c %a \"$d\") $(stat -c %a \"$f\") $(stat -f -c %T \"$f\")\" "
             "> \"$(dirname \"$0\")/editor-log\"\n"
             "case $1 in\n"
             "  append) printf '\\nmore\\n' >> \"$f\"; cp \"$f\" \"$d/.value.swp\" ;;\n"
             "  fail) exit 1 ;;\n"
             "  wait) exec sleep 60 ;;\n"
             "  meddle) printf '\\nmine\\n' >> \"$f\"; sh -c \"$MEDDLE\" ;;\n"
             "  fifo) rm \"$f\"; mkfifo \"$f\" ;;\n"
             "  nested) mkdir \"$d/sub\"; cp \"$f\" \"$d/sub/copy\"; printf '\\r\\n' >> \"$f\" ;;\n"
             "esac\n");
  chmod(path.c_str(), 0700);
}

std::vector<std::string> ToolTest::files() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string pattern_bytes(std::size_t length, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(length, '\0');
  for (std::size_t i = 0; i < length; ++i) {
    bytes[i] = static_cast<char>(i < 256 ? i : generator() & 0xff);
  }
  return bytes;
}

std::vector<Frame> parse_frames(const std::string& text) {
  std::vector<Frame> frames;
  std::size_t at = 0;
  // "WORD N\n" followed, for length and notes, by N bytes.
  const auto field = [&](const std::string& word, bool with_bytes, std::string* bytes) {
    const std::size_t end = text.find('\n', at);
    if (end == std::string::npos || text.compare(at, word.size() + 1, word + " ") != 0) {
      ADD_FAILURE() << "no \"" << word << "\" line at byte " << at;
      return -1L;
    }
    const long number = std::stol(text.substr(at + word.size() + 1, end - at - word.size() - 1));
    at = end + 1;
    if (with_bytes) {
      if (at + static_cast<std::size_t>(number) > text.size()) {
        ADD_FAILURE() << word << " " << number << " runs past the output";
        return -1L;
      }
      *bytes = text.substr(at, static_cast<std::size_t>(number));
      at += static_cast<std::size_t>(number);
    }
    return number;
  };
  while (at < text.size()) {
    Frame frame;
    frame.status = static_cast<int>(field("status", false, nullptr));
    if (frame.status < 0 || field("length", true, &frame.out) < 0 ||
        field("notes", true, &frame.notes) < 0) {
      break;
    }
    frames.push_back(std::move(frame));
  }
  return frames;
}

std::size_t count_of(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos;
       at = text.find(part, at + part.size())) {
    ++count;
  }
  return count;
}

}  // namespace kel::test

// Secrets stay secret: after a busy life (adds, imports, removals, password
// changes, failed calls) no file in the store's directory holds a stored value,
// name, password or the store key in plain form, not even a 16-byte piece of
// one; and no error text or line on standard output ever carries a value or
// a password, across every failure this test can provoke.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <set>
#include <unordered_set>
#include <utility>
#include <vector>

#include "kel/entry.h"
#include "kel/safe.h"
#include "robust/robust_util.h"
#include "support/test_support.h"

namespace kel::robust {
namespace {

// Distinctive values: text that would be easy to spot, binary data, and one
// value long enough to be processed in several pieces.
std::map<std::string, std::string> secret_items() {
  return {
      {"mail-account-name-0001", "TOP-SECRET-mail-password-Zq81-aa"},
      {"bank-account-name-0002", "TOP-SECRET-pin-and-tan-list-3301-bb"},
      {"ssh-private-key-name-03", "-----BEGIN TOP SECRET KEY-----" + value_for("ssh", 2000)},
      {"binary-blob-name-000004", std::string("\x00\x01\xfe\xff", 4) + value_for("blob", 500) +
                                       "TOP-SECRET-blob-tail"},
      {"large-backup-name-00005", value_for("large", 700000) + "TOP-SECRET-large-tail"},
  };
}

const std::string kFirst = password_for("Secret", 1);
const std::string kSecond = password_for("Secret", 2);
const std::string kThird = password_for("Secret", 3);

// Every 16-byte window (in steps of 8) of a secret, and the secret itself.
std::vector<std::string> pieces(const std::string& secret) {
  std::vector<std::string> out{secret};
  for (std::size_t at = 0; at + 16 <= secret.size(); at += 8) out.push_back(secret.substr(at, 16));
  return out;
}

std::uint64_t window_hash(const char* p) {
  std::uint64_t h = 1469598103934665603ull;
  for (int i = 0; i < 16; ++i) h = (h ^ static_cast<unsigned char>(p[i])) * 1099511628211ull;
  return h;
}

// Finds the first piece of any secret in `bytes`; empty when none. Every
// 16-byte window of `bytes` is hashed once, so that large files and large
// secrets stay cheap to compare.
std::string find_secret(const std::string& bytes, const std::vector<std::string>& secrets) {
  std::unordered_set<std::uint64_t> windows;
  for (std::size_t at = 0; at + 16 <= bytes.size(); ++at) {
    windows.insert(window_hash(bytes.data() + at));
  }
  for (const auto& secret : secrets) {
    for (const auto& piece : pieces(secret)) {
      const bool candidate = piece.size() < 16 || windows.count(window_hash(piece.data()));
      if (candidate && contains_bytes(bytes, piece)) return piece;
    }
  }
  return {};
}

TEST(SecretsStaySecret, NoFileTheLibraryLeavesHoldsAPlainSecret) {
  kel::test::TempDir top;
  const std::string dir = top.file("store");
  std::filesystem::create_directory(dir);
  const std::string path = dir + "/secrets.safe";
  const auto items = secret_items();
  std::string error;
  {
    Safe safe(path, kFirst);
    ASSERT_EQ(safe.create_safe(error), 0) << error;
    for (const auto& [name, value] : items) {
      if (name.rfind("large", 0) == 0) {
        const std::string source = top.file("import-source");
        kel::test::write_file(source, value);
        ASSERT_EQ(safe.add_entry_from_file(name, source, error), 0) << error;
      } else {
        ASSERT_EQ(safe.add_entry(Entry(name, value), error), 0) << error;
      }
    }
    // Failures along the way.
    EXPECT_EQ(safe.add_entry(Entry("mail-account-name-0001", "again"), error), -1);
    EXPECT_EQ(safe.remove_entry("not-there", error), -1);
    ASSERT_EQ(safe.remove_entry("bank-account-name-0002", error), 0) << error;
    ASSERT_EQ(safe.change_key(path, kFirst, kSecond, error), 0) << error;
  }
  {
    Safe safe(path, kSecond);
    ASSERT_EQ(safe.add_entry(Entry("bank-account-name-0002",
                                   items.at("bank-account-name-0002")),
                             error),
              0)
        << error;
    ASSERT_EQ(safe.remove_entry("ssh-private-key-name-03", error), 0) << error;
    ASSERT_EQ(safe.change_key(path, kSecond, kThird, error), 0) << error;
  }
  Safe safe(path, kThird);
  for (const auto& [name, value] : items) {
    if (name.rfind("ssh", 0) == 0) continue;
    Entry entry(name);
    ASSERT_EQ(safe.get_entry(entry, error), 0) << error;
    EXPECT_TRUE(entry.value() == value);
  }

  std::vector<std::string> secrets{kFirst, kSecond, kThird};
  for (const auto& [name, value] : items) {
    secrets.push_back(name);
    secrets.push_back(value);
  }
  const StoreWalk walk = walk_store_file(path, kThird, false);
  ASSERT_TRUE(walk.key_ok);
  secrets.push_back(walk.store_key);

  std::set<std::string> seen;
  for (const auto& file : files_below(dir)) {
    seen.insert(std::filesystem::path(file).filename().string());
    const std::string found = find_secret(kel::test::read_file(file), secrets);
    EXPECT_EQ(found, "") << file << " holds a plain secret";
  }
  // The store and its two backups, nothing else (no temporaries).
  EXPECT_EQ(seen, (std::set<std::string>{"secrets.safe", "secrets.safe.backup1",
                                         "secrets.safe.backup2"}));
}

class ErrorCollector {
 public:
  void add(const std::string& what, const std::string& error) {
    texts_.emplace_back(what, error);
  }
  const std::vector<std::pair<std::string, std::string>>& texts() const { return texts_; }

 private:
  std::vector<std::pair<std::string, std::string>> texts_;
};

TEST(SecretsStaySecret, NoErrorTextOrPrintedLineCarriesAValueOrPassword) {
  kel::test::TempDir top;
  kel::test::TempDir capture_dir;
  const std::string path = top.file("errors.safe");
  const auto items = secret_items();
  const std::vector<std::string> weak{"Sh0rt!pw", "nouppercase-4711-x", "NOLOWERCASE-4711-X",
                                      "NoDigitsHere-at-all", "NoSpecial4711Chars",
                                      "Has Space-4711-xY"};
  const std::string wrong = password_for("Wrong", 9);
  ErrorCollector errors;

  std::cout.flush();
  std::fflush(stdout);
  const std::string capture_file = capture_dir.file("stdout");
  const int saved = ::dup(1);
  {
    const int fd = ::open(capture_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(fd, 1);
    ::close(fd);
  }
  // The library's diagnostic lines go to the sink, never to standard output.
  std::string diagnosed;
  const kel::Diagnostics previous = kel::set_diagnostics(
      [&diagnosed](std::string_view line) { diagnosed.append(line).append("\n"); });
  auto collect = [&errors](const std::string& what, int rc, const std::string& error) {
    if (rc != 0) errors.add(what, error);
  };
  {
    std::string e;
    for (const auto& password : weak) {
      Safe bad(top.file("weak-" + std::to_string(&password - weak.data())), password);
      e.clear();
      collect("create with weak password", bad.create_safe(e), e);
    }
    Safe safe(path, kFirst);
    e.clear();
    collect("create", safe.create_safe(e), e);
    for (const auto& [name, value] : items) {
      e.clear();
      collect("add", safe.add_entry(Entry(name, value), e), e);
    }
    const auto& [first_name, first_value] = *items.begin();
    e.clear();
    collect("duplicate", safe.add_entry(Entry(first_name, "other"), e), e);
    e.clear();
    collect("empty name", safe.add_entry(Entry("", first_value), e), e);
    e.clear();
    collect("long name", safe.add_entry(Entry(std::string(256, 'n'), first_value), e), e);
    e.clear();
    collect("empty value", safe.add_entry(Entry("no-value"), e), e);
    Entry missing("missing");
    e.clear();
    collect("get missing", safe.get_entry(missing, e), e);
    e.clear();
    collect("remove missing", safe.remove_entry("missing", e), e);
    e.clear();
    collect("import missing", safe.add_entry_from_file("x", top.file("nope"), e), e);
    e.clear();
    collect("import directory", safe.add_entry_from_file("x", top.path().string(), e), e);
    // The rewrites, the streaming reads and the checks, each succeeding and
    // failing once.
    kel::test::write_file(top.file("rotated"), "rotated value 8814");
    const kel::Progress quiet_progress = [](std::uint64_t, std::uint64_t) {};
    const std::vector<std::pair<std::string, std::function<int(std::string&)>>> calls = {
        {"replace", [&](std::string& t) { return safe.replace_entry(Entry(first_name, "r1"), t); }},
        {"replace missing", [&](std::string& t) { return safe.replace_entry(Entry("missing", "r"), t); }},
        {"set", [&](std::string& t) { return safe.set_entry(Entry("set-one", "s1"), t); }},
        {"set empty", [&](std::string& t) { return safe.set_entry(Entry("set-one"), t); }},
        {"replace from file",
         [&](std::string& t) { return safe.replace_entry_from_file("set-one", top.file("rotated"), t); }},
        {"replace from missing file",
         [&](std::string& t) { return safe.replace_entry_from_file("set-one", top.file("nope"), t); }},
        {"set from file",
         [&](std::string& t) { return safe.set_entry_from_file("set-two", top.file("rotated"), t); }},
        {"set from missing file",
         [&](std::string& t) { return safe.set_entry_from_file("x", top.file("nope"), t); }},
        {"import with progress",
         [&](std::string& t) {
           return safe.add_entry_from_file("imported", top.file("rotated"), t, quiet_progress);
         }},
        {"rename", [&](std::string& t) { return safe.rename_entry("set-one", "set-three", t); }},
        {"rename missing", [&](std::string& t) { return safe.rename_entry("missing", "m2", t); }},
        {"rename onto a name", [&](std::string& t) { return safe.rename_entry("set-two", first_name, t); }},
        {"copy", [&](std::string& t) { return safe.copy_entry("set-two", "set-four", t); }},
        {"copy missing", [&](std::string& t) { return safe.copy_entry("missing", "m3", t); }},
        {"remove several, one missing",
         [&](std::string& t) { return safe.remove_entries({"set-two", "missing"}, t); }},
        {"remove several",
         [&](std::string& t) { return safe.remove_entries({"set-two", "set-three", "set-four"}, t); }},
        {"exists", [&](std::string& t) { return safe.exists(first_name, t) < 0 ? -1 : 0; }},
        {"exists missing", [&](std::string& t) { return safe.exists("missing", t) < 0 ? -1 : 0; }},
        {"stream", [&](std::string& t) {
           const int fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
           const int rc = safe.get_entry_to_stream(first_name, fd, t);
           ::close(fd);
           return rc;
         }},
        {"stream missing", [&](std::string& t) {
           const int fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
           const int rc = safe.get_entry_to_stream("missing", fd, t);
           ::close(fd);
           return rc;
         }},
        {"get to fd with progress", [&](std::string& t) {
           const int fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
           const int rc = safe.get_entry_to_fd(first_name, fd, t, quiet_progress);
           ::close(fd);
           return rc;
         }},
        {"check", [&](std::string& t) {
           kel::IntegrityReport report;
           return safe.check(report, t);
         }},
        {"repair of an intact store", [&](std::string& t) {
           kel::IntegrityReport report;
           return safe.repair(report, t);
         }},
    };
    for (const auto& [what, call] : calls) {
      e.clear();
      collect(what, call(e), e);
    }
    EXPECT_FALSE(safe.exists("missing"));
    EXPECT_EQ(safe.version(), "1.0.0");
    EXPECT_NE(safe.removal_backup_path(), "");
    for (const auto& password : weak) {
      e.clear();
      collect("weak new password", safe.change_key(path, kFirst, password, e), e);
    }
    e.clear();
    collect("wrong old password", safe.change_key(path, wrong, kSecond, e), e);
    e.clear();
    collect("change there", safe.change_key(path, kFirst, kSecond, e), e);
    e.clear();
    collect("change back", safe.change_key(path, kSecond, kFirst, e), e);
    e.clear();
    collect("empty password", safe.change_key(path, "", kSecond, e), e);
    {
      Safe intruder(path, wrong);
      std::vector<std::string> names;
      e.clear();
      collect("list with wrong password", intruder.list_entries(names, e), e);
      e.clear();
      collect("verify wrong password", intruder.key_verified(e) ? 0 : -1, e);
      Entry entry(first_name);
      e.clear();
      collect("get with wrong password", intruder.get_entry(entry, e), e);
      e.clear();
      collect("add with wrong password", intruder.add_entry(Entry("x", "y"), e), e);
      e.clear();
      collect("remove with wrong password", intruder.remove_entry(first_name, e), e);
    }
    // Damaged copies: a value byte flipped, a file cut inside a value, a
    // damaged header, a cut record fixed part.
    const std::string bytes = kel::test::read_file(path);
    const StoreWalk walk = walk_store_bytes(bytes, kFirst, false);
    ASSERT_EQ(walk.problem, "");
    ASSERT_GE(walk.records.size(), 2u);
    std::map<std::string, std::string> damaged;
    {
      std::string copy = bytes;
      for (const auto& rec : walk.records) copy[static_cast<std::size_t>(rec.value_offset) + 3] ^= 0x20;
      damaged["value flipped"] = copy;
      damaged["cut inside a value"] =
          bytes.substr(0, static_cast<std::size_t>(walk.records.back().value_offset) + 5);
      damaged["cut inside a name"] = bytes.substr(0, walk.records.back().start + 7);
      std::string header = bytes;
      header[80] ^= 1;
      damaged["header key damaged"] = header;
    }
    for (const auto& [what, content] : damaged) {
      const std::string copy_path = top.file("damaged.safe");
      kel::test::write_file(copy_path, content);
      Safe broken(copy_path, kFirst);
      std::vector<std::string> names;
      e.clear();
      collect(what + ": list", broken.list_entries(names, e), e);
      for (const auto& [name, value] : items) {
        Entry entry(name);
        e.clear();
        collect(what + ": get", broken.get_entry(entry, e), e);
        const int fd = ::open(top.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        e.clear();
        collect(what + ": get to fd", broken.get_entry_to_fd(name, fd, e), e);
        ::close(fd);
      }
      e.clear();
      collect(what + ": remove", broken.remove_entry(items.rbegin()->first, e), e);
      e.clear();
      collect(what + ": add", broken.add_entry(Entry("new-one", "new value 123"), e), e);
      e.clear();
      collect(what + ": rename", broken.rename_entry("new-one", "newer-one", e), e);
      kel::IntegrityReport report;
      e.clear();
      collect(what + ": check", broken.check(report, e), e);
      e.clear();
      collect(what + ": repair", broken.repair(report, e), e);
      std::filesystem::remove(copy_path);
    }
  }
  std::cout.flush();
  std::fflush(stdout);
  ::dup2(saved, 1);
  ::close(saved);
  const std::string printed = kel::test::read_file(capture_file);
  kel::set_diagnostics(previous);

  std::vector<std::string> secrets{kFirst, kSecond, wrong};
  for (const auto& password : weak) secrets.push_back(password);
  for (const auto& [name, value] : items) secrets.push_back(value);
  EXPECT_GE(errors.texts().size(), 40u);
  for (const auto& [what, text] : errors.texts()) {
    EXPECT_FALSE(text.empty()) << what << ": failure without a message";
    EXPECT_EQ(find_secret(text, secrets), "") << what << ": '" << text << "'";
  }
  EXPECT_EQ(printed, "") << "the library wrote on the application's standard output";
  EXPECT_NE(diagnosed.find("backup file: " + path + ".backup1\n"), std::string::npos) << diagnosed;
  EXPECT_NE(diagnosed.find("Cipher finalize error\n"), std::string::npos) << diagnosed;
  EXPECT_EQ(find_secret(diagnosed, secrets), "") << "diagnostics: " << diagnosed;
  std::cout << "secrets: " << errors.texts().size() << " error texts and "
            << diagnosed.size() << " bytes of diagnostics checked" << std::endl;
}

}  // namespace
}  // namespace kel::robust

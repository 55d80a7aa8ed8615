// Every file-system call that an operation makes fails in turn. For each
// operation (add, import, remove, password change, also add and remove on a
// store that ends in an interrupted append, opening, and reading a value whole
// or into a descriptor, lookups past other names on a Safe not opened yet,
// replacing, renaming and removing several at once;
// and on a format-2 store adding, removing, replacing, renaming, copying and
// changing the password) the
// test first counts the calls it makes on the
// store's directory, then runs it again once
// per call, failing exactly that call with EIO and with ENOSPC (and with EINTR
// where the library promises to retry, and as a short transfer for reads and
// writes). The faults are injected in-process, by a faulty Env in front of the
// library's file calls. After each run:
//   - a failure reports -1 with a message (one that does not call the intact
//     file damaged); 0 means the effect is complete;
//   - an interrupted write or lock wait (EINTR) and a read or write that
//     transfers only part of what was asked are carried on to success;
//   - the file is well-formed and holds the state from before or after the
//     operation (a failed add never leaves its item behind);
//   - a fresh Safe and the Safe that saw the failure both read that state;
//   - no removal temporary is left, no descriptor leaks;
//   - no value, name, password or store key appears in plain form in any file
//     of the directory, in the error text or on standard output.

#include <gtest/gtest.h>

#include <errno.h>

#include <cstring>

#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <set>
#include <memory>

#include "kel/entry.h"
#include "kel/safe.h"
#include "env/env.h"
#include "robust/fault_control.h"
#include "robust/faulty_env.h"
#include "robust/robust_util.h"
#include "support/test_support.h"

namespace kel::robust {
namespace {

using Items = std::map<std::string, std::string>;

// The file system the library sees: the real one, with faults on demand.
// (The C library interposer is linked as well, for the random source.)
FaultyEnv& faults() {
  static FaultyEnv instance;
  return instance;
}

const std::string kOld = password_for("Fault", 1);
const std::string kNew = password_for("Fault", 2);

Items template_items() {
  return {{"alpha-name-7f3c1", value_for("alpha-name-7f3c1", 40) + "alpha-secret-value-01"},
          {"bravo-name-92b0e", value_for("bravo-name-92b0e", 3000) + "bravo-secret-value-02"},
          {"charlie-name-4d1a", value_for("charlie-name-4d1a", 100) + "charlie-secret-value-03"}};
}

const std::string kNewName = "delta-name-5e8a2";
const std::string kNewValue = value_for("delta-name-5e8a2-v", 5000) + "delta-secret-value-04";
const std::string kBigValue = value_for("echo-import-value", 300000) + "echo-secret-value-05";
const std::string kRemoved = "bravo-name-92b0e";

// Standard output redirected into a file while an operation runs.
class StdoutCapture {
 public:
  explicit StdoutCapture(std::string file) : file_(std::move(file)) {
    std::cout.flush();
    std::fflush(stdout);
    saved_ = ::dup(1);
    int fd = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ::dup2(fd, 1);
    ::close(fd);
  }
  std::string finish() {
    std::cout.flush();
    std::fflush(stdout);
    ::dup2(saved_, 1);
    ::close(saved_);
    saved_ = -1;
    return kel::test::read_file(file_);
  }
  ~StdoutCapture() {
    if (saved_ >= 0) finish();
  }

 private:
  std::string file_;
  int saved_ = -1;
};

struct Operation {
  const char* label;
  // Runs the operation on an opened Safe.
  std::function<int(Safe&, const std::string& dir, const std::string& path, std::string&)> run;
  Items after;                   // the items once it succeeded
  bool changes_password = false;
  bool failure_leaves_before = false;  // -1 must mean "nothing happened"
  bool opens_fresh = false;      // the Safe is not opened beforehand
  // The store ends in the trace of an append cut short (a zero byte and
  // what followed it), which the write must cut off first.
  bool interrupted_tail = false;
  // The store is format 2 (cheapest parameters).
  bool version2 = false;
};

// What a process killed in the middle of an append leaves: the record's
// first byte still zero, part of the rest written.
const std::string kTail = std::string(1, '\0') + std::string(57, '\x5a');

struct Tally {
  long runs = 0, injected = 0, not_reached = 0, failed = 0, succeeded = 0,
       failed_but_done = 0, tails = 0;
  std::vector<std::string> notes;
  std::map<std::string, std::string> messages;  // what users were told, and when
};

class FaultInjection : public ::testing::Test {
 protected:
  static std::string* make_template(const StoreOptions& options) {
    kel::test::TempDir dir;
    const std::string path = dir.file("template.safe");
    Safe safe(path, kOld);
    std::string error;
    EXPECT_EQ(safe.create_safe(options, error), 0) << error;
    for (const auto& [name, value] : template_items()) {
      EXPECT_EQ(safe.add_entry(Entry(name, value), error), 0) << error;
    }
    return new std::string(kel::test::read_file(path));
  }
  static void SetUpTestSuite() {
    template_bytes_ = make_template(StoreOptions());
    template_v2_bytes_ = make_template(kel::test::cheapest_v2());
  }
  static void TearDownTestSuite() {
    delete template_bytes_;
    template_bytes_ = nullptr;
    delete template_v2_bytes_;
    template_v2_bytes_ = nullptr;
  }

  // Every secret of the run that must never appear in plain form.
  static std::vector<std::string> secrets(const StoreWalk& walk) {
    std::vector<std::string> out{kOld, kNew, kNewValue, kBigValue};
    for (const auto& [name, value] : template_items()) out.push_back(value);
    out.push_back(walk.store_key);
    return out;
  }

  static std::vector<std::string> names() {
    std::vector<std::string> out{kNewName};
    for (const auto& item : template_items()) out.push_back(item.first);
    return out;
  }

  // One run; kind < 0 runs without a fault and returns the call counts.
  void run_once(const Operation& op, int kind, long nth, int error_number,
                Tally& tally, std::map<int, long>* counts = nullptr) {
    const std::string where = std::string(op.label) + ", " +
                              (kind < 0 ? std::string("no fault")
                                        : std::string(FaultyEnv::name(kind)) + " #" +
                                              std::to_string(nth) + " -> " +
                                              (error_number == KEL_FAULT_SHORT
                                                   ? std::string("short transfer")
                                                   : std::strerror(error_number)));
    SCOPED_TRACE(where);
    kel::test::TempDir run_dir;
    kel::test::TempDir capture_dir;
    const std::string dir = run_dir.path().string();
    const std::string path = dir + "/store.safe";
    std::filesystem::create_directory(dir + "/plain");
    faults().count(false);
    faults().reset();
    faults().watch(dir);
    detail::ScopedEnv seam(faults());
    kel::test::write_file(path, *(op.version2 ? template_v2_bytes_ : template_bytes_) +
                                    (op.interrupted_tail ? kTail : ""));
    kel::test::write_file(dir + "/plain/source", kBigValue);

    const int descriptors = kel::test::open_descriptor_count();
    int rc = 0;
    std::string error, printed, step_file;
    long fired = 0;
    WriteStep step = WriteStep::none;
    auto safe = std::make_unique<Safe>(path, kOld);
    if (!op.opens_fresh) {
      std::vector<std::string> listed;
      ASSERT_EQ(safe->list_entries(listed, error), 0) << error;
    }
    {
      StdoutCapture capture(capture_dir.file("stdout"));
      if (kind >= 0) faults().arm(kind, nth, error_number);
      faults().count(true);
      rc = op.run(*safe, dir, path, error);
      if (rc != 0 && kel::last_write_step(step, step_file) != 0) step = WriteStep::none;
      faults().count(false);
      fired = faults().fired();
      printed = capture.finish();
    }
    if (counts != nullptr) {
      for (int k = 0; k < kelFaultKinds; ++k) (*counts)[k] = faults().calls(k);
    }
    faults().reset();
    ++tally.runs;
    if (kind >= 0 && fired == 0) {
      ++tally.not_reached;  // the call sequence differed this time
    }
    tally.injected += fired;

    // An interrupted call is retried and a short transfer continued: both
    // must end as if nothing had happened.
    const bool eintr = error_number == EINTR || error_number == KEL_FAULT_SHORT;
    if (rc == 0) {
      ++tally.succeeded;
      // Nothing retries a failed sync: data or a rename may not last, and
      // success must not be reported.
      EXPECT_FALSE(fired > 0 && (kind == kelFaultFsync || kind == kelFaultFdatasync))
          << "a failed sync was ignored";
    } else {
      ++tally.failed;
      std::string message = error;
      for (std::size_t at; (at = message.find(dir)) != std::string::npos;) {
        message.replace(at, dir.size(), "<dir>");
      }
      tally.messages.emplace(message, where);
      EXPECT_EQ(rc, -1);
      EXPECT_FALSE(error.empty()) << "failure without a message";
      EXPECT_FALSE(eintr) << "an interrupted call was not retried, or a short "
                          << "transfer not continued: " << error;
      // The failed call's error number is known, also where the text has
      // none, so that an application can say "disk full".
      if (fired > 0 && !eintr &&
          (error == "Could not write lower part to tmp store" ||
           error.find(std::strerror(error_number)) != std::string::npos)) {
        int recorded = 0;
        EXPECT_EQ(kel::last_system_error(recorded), 0) << error;
        EXPECT_EQ(recorded, error_number) << error;
      }
      // The file is intact; an I/O error must not be reported as damage.
      EXPECT_TRUE(error.find("damaged") == std::string::npos &&
                  error.find("decrypt") == std::string::npos)
          << "I/O error reported as damage: " << error;
      // Its code says the same, and a full disk is told as such: the code of
      // the failed call's error number, or of the caller's own file. (A
      // format-2 header that cannot be read is still checked as format 1,
      // which the text and the code both call a wrong password.)
      const kel::Status status = safe->status();
      EXPECT_TRUE(status != kel::Status::ok && status != kel::Status::damaged &&
                  status != kel::Status::internal &&
                  (status != kel::Status::wrong_password ||
                   error == "Invalid password"))
          << kel::status_name(status) << ": " << error;
      // Whatever the text says (some name no cause), a full disk or quota
      // and a refusal are told by their own codes.
      const std::map<int, kel::Status> coded{{ENOSPC, kel::Status::no_space},
                                             {EDQUOT, kel::Status::no_space},
                                             {EACCES, kel::Status::permission},
                                             {EROFS, kel::Status::permission}};
      if (fired > 0 && coded.count(error_number) != 0 && error != "Invalid password") {
        EXPECT_TRUE(status == coded.at(error_number) ||
                    status == kel::Status::caller_file)
            << kel::status_name(status) << ": " << error;
      }
    }
    if (kind < 0) {
      EXPECT_EQ(rc, 0) << error;
    }

    // Which password opens the file now, and what does it hold?
    std::string password = kOld;
    StoreWalk walk = walk_store_file(path, kOld, true);
    if (!walk.password_ok && op.changes_password) {
      password = kNew;
      walk = walk_store_file(path, kNew, true);
    }
    ASSERT_TRUE(walk.password_ok && walk.key_ok)
        << "store no longer opens: " << walk.problem << " (error '" << error << "')";
    EXPECT_EQ(walk.problem, "") << "error '" << error << "'";
    Items on_disk;
    for (const auto& rec : walk.records) {
      EXPECT_TRUE(on_disk.emplace(rec.name, rec.value).second) << "duplicate " << rec.name;
    }
    const Items before = template_items();
    const bool is_before = on_disk == before && (password == kOld);
    const bool is_after =
        on_disk == op.after && (password == (op.changes_password ? kNew : kOld));
    EXPECT_TRUE(is_before || is_after) << "store holds neither the old nor the new state "
                                       << "(error '" << error << "')";
    // The step a failure names says what became of the store: only a folder
    // not synced after the rename leaves the change in place.
    if (step == WriteStep::sync_folder) {
      EXPECT_TRUE(is_after && step_file == path) << step_file << ": " << error;
    } else if (step != WriteStep::none) {
      EXPECT_TRUE(is_before && !step_file.empty()) << static_cast<int>(step) << ": " << error;
    }
    if (rc == 0) {
      EXPECT_TRUE(is_after) << "reported success, but the effect is not complete";
    } else if (is_after && !is_before) {
      ++tally.failed_but_done;
      tally.notes.push_back(where + ": reported '" + error + "' but the change took effect");
      if (op.failure_leaves_before) {
        ADD_FAILURE() << "reported failure ('" << error << "') but the item was stored";
      }
    }
    if (walk.interrupted_tail) ++tally.tails;

    // Nothing secret in the message, on standard output, or in any file.
    for (const auto& secret : secrets(walk)) {
      EXPECT_FALSE(contains_bytes(error, secret)) << "a secret in the error text";
      EXPECT_FALSE(contains_bytes(printed, secret)) << "a secret on standard output";
    }
    for (const auto& file : files_below(dir, dir + "/plain")) {
      const std::string bytes = kel::test::read_file(file);
      for (const auto& secret : secrets(walk)) {
        EXPECT_FALSE(contains_bytes(bytes, secret)) << "plain secret in " << file;
      }
      for (const auto& name : names()) {
        EXPECT_FALSE(contains_bytes(bytes, name)) << "plain name in " << file;
      }
    }
    EXPECT_TRUE(removal_temporaries(path).empty()) << "temporary file left behind";

    // The Safe that saw the failure carries on with what is on disk.
    if (!op.changes_password) {
      std::vector<std::string> listed;
      std::string e;
      EXPECT_EQ(safe->list_entries(listed, e), 0) << e;
      EXPECT_EQ(listed.size(), on_disk.size());
      for (const auto& [name, value] : on_disk) {
        Entry entry(name);
        EXPECT_EQ(safe->get_entry(entry, e), 0) << name << ": " << e;
        EXPECT_TRUE(entry.value() == value) << name;
      }
    }
    safe.reset();
    EXPECT_EQ(kel::test::open_descriptor_count(), descriptors) << "descriptor leak";

    // A fresh Safe reads the same; its next write cuts off any cut-short tail.
    Safe fresh(path, password);
    for (const auto& [name, value] : on_disk) {
      Entry entry(name);
      std::string e;
      EXPECT_EQ(fresh.get_entry(entry, e), 0) << name << ": " << e;
      EXPECT_TRUE(entry.value() == value) << name;
    }
    if (walk.interrupted_tail) {
      std::string e;
      EXPECT_EQ(fresh.add_entry(Entry("after-tail", "after tail value"), e), 0) << e;
      StoreWalk later = walk_store_file(path, password, true);
      EXPECT_EQ(later.problem, "");
      EXPECT_FALSE(later.interrupted_tail) << "the next writer left the tail in place";
      EXPECT_EQ(later.records.size(), on_disk.size() + 1);
    }
    faults().watch("");
  }

  // Counts the calls once, then fails each of them in turn.
  void sweep(const Operation& op) {
    Tally tally;
    std::map<int, long> counts;
    run_once(op, -1, 0, 0, tally, &counts);
    if (HasFatalFailure()) return;
    std::string summary;
    for (int kind = 0; kind < kelFaultKinds; ++kind) {
      if (counts[kind] == 0) continue;
      summary += std::string(" ") + FaultyEnv::name(kind) + "=" + std::to_string(counts[kind]);
      std::vector<int> errors{EIO, ENOSPC};
      if (kind == kelFaultWrite || kind == kelFaultLock) errors.push_back(EINTR);
      if (kind == kelFaultWrite || kind == kelFaultRead) errors.push_back(KEL_FAULT_SHORT);
      // The other causes a user meets: a quota, a refusal, a read-only mount.
      if (kind == kelFaultWrite || kind == kelFaultCopy) errors.push_back(EDQUOT);
      if (kind == kelFaultOpen) errors.push_back(EACCES);
      if (kind == kelFaultOpen || kind == kelFaultRename) errors.push_back(EROFS);
      for (long nth = 1; nth <= counts[kind]; ++nth) {
        for (int error_number : errors) {
          run_once(op, kind, nth, error_number, tally);
          if (HasFatalFailure()) return;
        }
      }
    }
    std::cout << op.label << ": calls" << summary << "; " << tally.runs << " runs, "
              << tally.injected << " faults injected (" << tally.not_reached
              << " not reached), " << tally.failed << " reported -1, " << tally.succeeded
              << " returned 0, " << tally.tails << " left a cut-short tail" << std::endl;
    for (const auto& note : tally.notes) std::cout << "  note: " << note << std::endl;
    for (const auto& [message, first] : tally.messages) {
      std::cout << "  -1 \"" << message << "\" (first after " << first << ")" << std::endl;
    }
  }

  static std::string* template_bytes_;
  static std::string* template_v2_bytes_;
};

std::string* FaultInjection::template_bytes_ = nullptr;
std::string* FaultInjection::template_v2_bytes_ = nullptr;

Items with(Items items, const std::string& name, const std::string& value) {
  items[name] = value;
  return items;
}

Items without(Items items, const std::string& name) {
  items.erase(name);
  return items;
}

TEST_F(FaultInjection, AddSurvivesEveryFailedCall) {
  sweep({"add",
         [](Safe& safe, const std::string&, const std::string&, std::string& error) {
           return safe.add_entry(Entry(kNewName, kNewValue), error);
         },
         with(template_items(), kNewName, kNewValue), false, true, false});
}

TEST_F(FaultInjection, AddToAVersion2StoreSurvivesEveryFailedCall) {
  Operation add{"add (format 2)",
                [](Safe& safe, const std::string&, const std::string&, std::string& error) {
                  return safe.add_entry(Entry(kNewName, kNewValue), error);
                },
                with(template_items(), kNewName, kNewValue), false, true, false};
  add.version2 = true;
  sweep(add);
}

TEST_F(FaultInjection, AddAfterAnInterruptedAppendSurvivesEveryFailedCall) {
  sweep({"add after an interrupted append",
         [](Safe& safe, const std::string&, const std::string&, std::string& error) {
           return safe.add_entry(Entry(kNewName, kNewValue), error);
         },
         with(template_items(), kNewName, kNewValue), false, true, false, true});
}

TEST_F(FaultInjection, ImportSurvivesEveryFailedCall) {
  sweep({"import",
         [](Safe& safe, const std::string& dir, const std::string&, std::string& error) {
           return safe.add_entry_from_file(kNewName, dir + "/plain/source", error);
         },
         with(template_items(), kNewName, kBigValue), false, true, false});
}

TEST_F(FaultInjection, RemoveSurvivesEveryFailedCall) {
  sweep({"remove",
         [](Safe& safe, const std::string&, const std::string&, std::string& error) {
           return safe.remove_entry(kRemoved, error);
         },
         without(template_items(), kRemoved), false, false, false});
}

TEST_F(FaultInjection, RemoveFromAVersion2StoreSurvivesEveryFailedCall) {
  Operation remove{"remove (format 2)",
                   [](Safe& safe, const std::string&, const std::string&, std::string& error) {
                     return safe.remove_entry(kRemoved, error);
                   },
                   without(template_items(), kRemoved), false, false, false};
  remove.version2 = true;
  sweep(remove);
}

TEST_F(FaultInjection, RemoveAfterAnInterruptedAppendSurvivesEveryFailedCall) {
  sweep({"remove after an interrupted append",
         [](Safe& safe, const std::string&, const std::string&, std::string& error) {
           return safe.remove_entry(kRemoved, error);
         },
         without(template_items(), kRemoved), false, false, false, true});
}

TEST_F(FaultInjection, ReplaceSurvivesEveryFailedCall) {
  sweep({"replace",
         [](Safe& safe, const std::string&, const std::string&, std::string& error) {
           return safe.replace_entry(Entry(kRemoved, kNewValue), error);
         },
         with(template_items(), kRemoved, kNewValue), false, false, false});
}

TEST_F(FaultInjection, RenameSurvivesEveryFailedCall) {
  sweep({"rename",
         [](Safe& safe, const std::string&, const std::string&, std::string& error) {
           return safe.rename_entry(kRemoved, kNewName, error);
         },
         with(without(template_items(), kRemoved), kNewName,
              template_items().at(kRemoved)),
         false, false, false});
}

TEST_F(FaultInjection, Version2ReplaceRenameCopyAndPasswordChangeSurviveEveryFailedCall) {
  const Items renamed =
      with(without(template_items(), kRemoved), kNewName, template_items().at(kRemoved));
  for (Operation op : {
           Operation{"replace (format 2)",
                     [](Safe& safe, const std::string&, const std::string&, std::string& error) {
                       return safe.replace_entry(Entry(kRemoved, kNewValue), error);
                     },
                     with(template_items(), kRemoved, kNewValue)},
           // Resealed with the new name as additional data: the tests' own
           // reader opens the value under that name only.
           Operation{"rename (format 2)",
                     [](Safe& safe, const std::string&, const std::string&, std::string& error) {
                       return safe.rename_entry(kRemoved, kNewName, error);
                     },
                     renamed},
           Operation{"copy (format 2)",
                     [](Safe& safe, const std::string&, const std::string&, std::string& error) {
                       return safe.copy_entry(kRemoved, kNewName, error);
                     },
                     with(template_items(), kNewName, template_items().at(kRemoved))},
           Operation{"apply changes (format 2)",
                     [](Safe& safe, const std::string&, const std::string&, std::string& error) {
                       std::vector<Entry> put;
                       put.emplace_back(kNewName, kNewValue);
                       return safe.apply_changes(put, {kRemoved}, error);
                     },
                     with(without(template_items(), kRemoved), kNewName, kNewValue)},
           Operation{"change password (format 2)",
                     [](Safe& safe, const std::string&, const std::string& path,
                        std::string& error) { return safe.change_key(path, kOld, kNew, error); },
                     template_items(), true}}) {
    op.version2 = true;
    sweep(op);
    if (HasFatalFailure()) return;
  }
}

TEST_F(FaultInjection, RemovingSeveralSurvivesEveryFailedCall) {
  sweep({"remove several",
         [](Safe& safe, const std::string&, const std::string&, std::string& error) {
           return safe.remove_entries({"alpha-name-7f3c1", "charlie-name-4d1a"}, error);
         },
         without(without(template_items(), "alpha-name-7f3c1"), "charlie-name-4d1a"),
         false, false, false, true});
}

TEST_F(FaultInjection, PasswordChangeSurvivesEveryFailedCall) {
  sweep({"change password",
         [](Safe& safe, const std::string&, const std::string& path, std::string& error) {
           return safe.change_key(path, kOld, kNew, error);
         },
         template_items(), true, false, false});
}

// Each step of a change reports itself, with its file, when a call of it
// fails, and no later call inherits it.
TEST_F(FaultInjection, EachFailedWriteStepIsReported) {
  using Run = std::function<int(Safe&, const std::string& path, std::string&)>;
  const Run add = [](Safe& safe, const std::string&, std::string& e) {
    return safe.add_entry(Entry(kNewName, kNewValue), e);
  };
  const Run remove = [](Safe& safe, const std::string&, std::string& e) {
    return safe.remove_entry(kRemoved, e);
  };
  const Run passwd = [](Safe& safe, const std::string& path, std::string& e) {
    return safe.change_key(path, kOld, kNew, e);
  };
  const Run create = [](Safe& safe, const std::string&, std::string& e) {
    return safe.create_safe(e);
  };
  const struct {
    Run run;
    int kind;
    long nth;  // 0: the last call of the kind
    WriteStep step;
    std::string file;  // after the store's path
    bool fresh = false;  // no store yet
  } cases[] = {
      {add, kelFaultLock, 1, WriteStep::lock, ""},
      {add, kelFaultWrite, 1, WriteStep::append, ""},
      {add, kelFaultFdatasync, 0, WriteStep::append, ""},
      {remove, kelFaultFsync, 1, WriteStep::new_copy, ""},
      {remove, kelFaultRename, 1, WriteStep::keep_backup, ".backup2"},
      {remove, kelFaultRename, 0, WriteStep::put_in_place, ""},
      {remove, kelFaultFsync, 0, WriteStep::sync_folder, ""},
      {passwd, kelFaultRename, 1, WriteStep::backup, ".backup1"},
      {create, kelFaultOpen, 1, WriteStep::create, "", true},
      {create, kelFaultFdatasync, 1, WriteStep::create, "", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(FaultyEnv::name(c.kind)) + " #" + std::to_string(c.nth));
    long nth = c.nth;
    for (const bool armed : {false, true}) {
      kel::test::TempDir run_dir;
      const std::string path = run_dir.file("store.safe");
      if (!c.fresh) kel::test::write_file(path, *template_bytes_);
      faults().reset();
      faults().watch(run_dir.path().string());
      detail::ScopedEnv seam(faults());
      Safe safe(path, kOld);
      std::string error, file;
      std::vector<std::string> listed;
      if (!c.fresh) {
        ASSERT_EQ(safe.list_entries(listed, error), 0) << error;
      }
      if (armed) faults().arm(c.kind, nth, ENOSPC);
      faults().count(true);
      const int rc = c.run(safe, path, error);
      faults().count(false);
      WriteStep step = WriteStep::none;
      const int reported = kel::last_write_step(step, file);
      if (!armed) {
        // A call that succeeds names no step; count the calls of the kind.
        ASSERT_EQ(rc, 0) << error;
        EXPECT_EQ(reported, -1);
        if (nth == 0) nth = faults().calls(c.kind);
        continue;
      }
      ASSERT_EQ(faults().fired(), 1);
      EXPECT_EQ(rc, -1);
      EXPECT_EQ(reported, 0) << error;
      EXPECT_EQ(step, c.step) << error;
      EXPECT_EQ(file, path + c.file) << error;
      EXPECT_EQ(safe.status(), Status::no_space) << error;
      // The next call's failure is not one of a step, nor of a system call:
      // neither may borrow the full disk's words.
      Entry missing("no-such-name");
      EXPECT_NE(safe.get_entry(missing, error), 0);
      EXPECT_EQ(kel::last_write_step(step, file), -1) << static_cast<int>(step);
      int number = 0;
      if (kel::last_system_error(number) == 0) {
        EXPECT_NE(number, ENOSPC);
      }
      faults().watch("");
    }
  }
}

TEST_F(FaultInjection, ReadingAValueSurvivesEveryFailedCall) {
  sweep({"get",
         [](Safe& safe, const std::string&, const std::string&, std::string& error) {
           Entry entry(kRemoved);
           int rc = safe.get_entry(entry, error);
           if (rc == 0 && entry.value() != template_items().at(kRemoved)) {
             error = "value came back altered";
             return -2;
           }
           return rc;
         },
         template_items(), false, true, false});
}

// Lookups on a Safe not opened yet read only as far as each name, keeping
// the names read past aside: a failed call there must not make those names
// look absent to a later lookup or to an add's duplicate check.
TEST_F(FaultInjection, LookupsPastOtherNamesSurviveEveryFailedCall) {
  sweep({"get past names, then add a name read past",
         [](Safe& safe, const std::string&, const std::string&, std::string& error) {
           const Items items = template_items();
           const auto last = items.rbegin();
           Entry entry(last->first);
           if (safe.get_entry(entry, error) != 0) return -1;
           if (entry.value() != last->second) {
             error = "value came back altered";
             return -2;
           }
           std::string refused;
           const std::string& first = items.begin()->first;
           if (safe.add_entry(Entry(first, "a second record"), refused) == 0) {
             error = "a name read past was added twice";
             return -2;
           }
           if (safe.exists(first, refused) == 0) {
             error = "a name read past was reported absent";
             return -2;
           }
           return 0;
         },
         template_items(), false, true, true});
}

TEST_F(FaultInjection, StreamingAValueSurvivesEveryFailedCall) {
  sweep({"get to descriptor",
         [](Safe& safe, const std::string& dir, const std::string&, std::string& error) {
           // The output lies in the watched directory too, so its writes fail
           // in turn as well.
           const std::string out = dir + "/plain/out";
           faults().count(false);
           const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
           faults().track(fd);
           faults().count(true);
           int rc = safe.get_entry_to_fd(kRemoved, fd, error);
           faults().close(fd);
           faults().count(false);
           if (rc == 0 && kel::test::read_file(out) != template_items().at(kRemoved)) {
             error = "value came back altered";
             rc = -2;
           }
           faults().count(true);
           return rc;
         },
         template_items(), false, true, false});
}

TEST_F(FaultInjection, OpeningSurvivesEveryFailedCall) {
  sweep({"open and list",
         [](Safe& safe, const std::string&, const std::string&, std::string& error) {
           std::vector<std::string> names;
           int rc = safe.list_entries(names, error);
           if (rc == 0 && names.size() != template_items().size()) {
             error = "listed " + std::to_string(names.size()) + " names";
             return -2;
           }
           return rc;
         },
         template_items(), false, true, true});
}

// A process may lose its random source after it made a store (a sandbox
// entered later that filters getrandom and hides /dev): reading needs no
// fresh randomness, so listing and reading go on. Its own process under
// CTest, so that this is the first scan that opens a name in it.
TEST(NoRandomSource, ListingAndReadingGoOn) {
  kel::test::TempDir dir;
  const std::string path = dir.file("sandboxed.safe");
  std::string error;
  {
    Safe safe(path, kOld);
    ASSERT_EQ(safe.create_safe(error), 0) << error;
    ASSERT_EQ(safe.add_entry(Entry(kNewName, kNewValue), error), 0) << error;
  }
  kel_fault_no_randomness(1);
  Safe fresh(path, kOld);
  std::vector<std::string> names;
  const int listed = fresh.list_entries(names, error);
  Entry entry(kNewName);
  const int read = fresh.get_entry(entry, error);
  kel_fault_no_randomness(0);
  EXPECT_EQ(listed, 0) << error;
  EXPECT_EQ(names, std::vector<std::string>{kNewName});
  EXPECT_EQ(read, 0) << error;
  EXPECT_TRUE(entry.value() == kNewValue);
}

}  // namespace
}  // namespace kel::robust

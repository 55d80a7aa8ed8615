// grant, slots and revoke: the key slots of a format-3 store
// (kel/key_slots.h). Every slot wraps the same store key; any slot opens
// the store, and the store must be open (by whatever the user opens it
// with: a password, --identity or --key-file) to add or remove one.
//
// Slots are numbered as the library numbers them, from 0, the order of the
// header, which is how `slots` lists them and what `revoke` takes (besides
// a label that names one slot alone). A slot that is damaged, or not of
// this store's key, is listed and marked: it opens nothing.
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <kel/key_slots.h>
#include <kel/safe.h>
#include <kel/store_format.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "entry_selection.h"
#include "shown_bytes.h"
#include "status.h"
#include "streams.h"
#include "subcommand.h"
#include "usage.h"

namespace kel::tool {

namespace {

const char* kind_name(kel::SlotKind kind) {
  switch (kind) {
    case kel::SlotKind::password:
      return "password";
    case kel::SlotKind::recipient:
      return "recipient";
    case kel::SlotKind::password_and_key_file:
      return "password+key-file";
    default:
      return "unknown";
  }
}

// "slot 2 (recipient 'alice')", for notes and questions.
std::string describe(const kel::SlotInfo& slot) {
  return "slot " + std::to_string(slot.index) + " (" + kind_name(slot.kind) +
         (slot.label.empty() ? "" : " " + tool::quoted(slot.label)) + ")";
}

// Slots live in format 3 alone: said before any password is asked for.
void require_slots(const Context& context, const std::string& what) {
  require_store(context);
  const std::string path = store_file(context.store);
  const std::unique_ptr<kel::Safe> reader = make_safe(context, Secret());
  kel::FormatInfo info;
  std::string error;
  if (reader->format_info(info, error) != 0) library_failure(what, reader->status(), error, path);
  if (info.version != 3) {
    throw Failure(kRejected, what + ": " + tool::quoted(path) + " is format " +
                                 std::to_string(info.version) +
                                 ", which has one password and no key slots; kel-safe upgrade "
                                 "makes it format 3");
  }
}

std::vector<kel::SlotInfo> list_slots(kel::Safe& safe, const std::string& what,
                                      const std::string& path) {
  std::vector<kel::SlotInfo> slots;
  std::string error;
  if (safe.list_slots(slots, error) != 0) library_failure(what, safe.status(), error, path);
  return slots;
}

// A label the header can hold, checked before a password is asked for.
void check_label(const std::string& label) {
  if (label.size() > kel::kMaxSlotLabel) {
    throw Failure(kRejected, "grant --label: the label is " + std::to_string(label.size()) +
                                 " bytes long; a label is at most " +
                                 std::to_string(kel::kMaxSlotLabel) + " bytes");
  }
  if (label.find_first_of(std::string("\0\n\r", 3)) != std::string::npos) {
    throw Failure(kRejected, "grant --label: a label holds no NUL byte and no line break");
  }
}

std::string trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// The failure of a grant or revoke, worded from its status: what the
// tool checked before the call names the refusals it can tell apart.
[[noreturn]] void slot_failure(const std::string& what, kel::Status code,
                               const std::string& error, const std::string& path) {
  if (code == kel::Status::invalid_argument) {
    throw Failure(kRejected, what + ": the store " + tool::quoted(path) + " refused it (" + error + ")");
  }
  if (code == kel::Status::exists) {
    throw Failure(kExists, what + ": " + tool::quoted(path) + " has a slot for that public key "
                                                        "already (" + error + ")");
  }
  library_failure(what, code, error, path);
}

struct GrantArgs {
  std::string recipient;
  bool password = false;
  std::string key_file;
  std::string label;
};

int run_grant(const Context& context, const GrantArgs& args) {
  const std::string what = "grant";
  check_label(args.label);
  std::string error;
  if (!args.recipient.empty() &&
      kel::check_public_key(args.recipient, error) != kel::Status::ok) {
    // The argument is never echoed: what was pasted may be an identity, a
    // secret key, and the message goes to a terminal or a log.
    if (trimmed(args.recipient).starts_with("KEL-SAFE-IDENTITY-")) {
      throw Failure(kRejected,
                    "grant --recipient: this is an identity (a secret key), not a public key: "
                    "give its public key (kel-safe keygen printed it; the identity file's "
                    "'# public key:' line)");
    }
    throw Failure(kRejected,
                  "grant --recipient: not a public key (a public key starts with kelpk1...)");
  }
  if (!args.key_file.empty()) {
    struct stat info {};
    if (stat(args.key_file.c_str(), &info) != 0 || access(args.key_file.c_str(), R_OK) != 0) {
      throw Failure(kFileError, "grant --key-file: cannot read " + tool::quoted(args.key_file));
    }
    if (S_ISDIR(info.st_mode)) {
      throw Failure(kFileError, "grant --key-file: " + tool::quoted(args.key_file) + " is a directory");
    }
    if (S_ISREG(info.st_mode) && info.st_size == 0) {
      throw Failure(kRejected, "grant --key-file: " + tool::quoted(args.key_file) +
                                   " is empty: a key file holds at least one byte");
    }
  }
  require_slots(context, what);
  const std::string path = store_file(context.store);
  SafeHandle safe = open_safe(context, what);
  const std::vector<kel::SlotInfo> before = list_slots(*safe, what, path);
  if (before.size() >= kel::kMaxKeySlots) {
    throw Failure(kRejected, what + ": " + tool::quoted(path) + " holds " +
                                 std::to_string(before.size()) + " slots, the most a store holds; "
                                 "revoke one first");
  }
  if (!args.recipient.empty()) {
    for (const kel::SlotInfo& slot : before) {
      if (slot.kind == kel::SlotKind::recipient && slot.public_key == trimmed(args.recipient)) {
        throw Failure(kExists, what + ": that public key has " + describe(slot) + " of " +
                                   tool::quoted(path) + " already");
      }
    }
  }
  int rc = 0;
  if (!args.recipient.empty()) {
    rc = safe->grant_recipient(trimmed(args.recipient), args.label, error);
  } else {
    // The new slot's password, asked twice on a terminal as passwd asks.
    Secret password = new_store_password(context.passwords, path);
    const std::string breaches = policy_breaches(password.str());
    if (!breaches.empty()) {
      throw Failure(kRejected, what + ": the new password is refused: " + breaches);
    }
    rc = args.key_file.empty()
             ? safe->grant_password(password.str(), args.label, error)
             : safe->grant_key_file(password.str(), args.key_file, args.label, error);
  }
  if (rc != 0) {
    if (safe->status() == kel::Status::caller_file) {
      throw Failure(kFileError, what + ": cannot read the key file " + tool::quoted(args.key_file) +
                                    " (" + error + ")");
    }
    slot_failure(what, safe->status(), error, path);
  }
  if (!context.quiet) {
    for (const kel::SlotInfo& slot : list_slots(*safe, what, path)) {
      const bool is_new = std::none_of(before.begin(), before.end(), [&slot](const auto& old) {
        return old.public_key == slot.public_key;
      });
      if (is_new) note("granted " + describe(slot) + " of " + tool::quoted(path));
    }
  }
  return kOk;
}

// The date a slot was made, in UTC; "-" when it does not say.
std::string created_date(std::int64_t created) {
  if (created <= 0) return "-";
  const std::time_t when = static_cast<std::time_t>(created);
  struct tm parts {};
  gmtime_r(&when, &parts);
  char text[16];
  return std::string(text, strftime(text, sizeof text, "%Y-%m-%d", &parts));
}

// Enough of a public key to tell slots apart, and to find it in full in
// --json: its first 12 characters and its last 6.
std::string short_key(const std::string& key) {
  if (key.size() <= 21) return key;
  return key.substr(0, 12) + "..." + key.substr(key.size() - 6);
}

std::string padded(std::string text, std::size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

int run_slots(const Context& context, bool json) {
  const std::string what = "slots";
  require_slots(context, what);
  const std::string path = store_file(context.store);
  SafeHandle safe = open_safe(context, what);
  const std::vector<kel::SlotInfo> slots = list_slots(*safe, what, path);
  if (json) {
    nlohmann::json list = nlohmann::json::array();
    for (const kel::SlotInfo& slot : slots) {
      list.push_back({{"slot", slot.index},
                      {"kind", kind_name(slot.kind)},
                      {"label", slot.label},
                      {"created", slot.created},
                      {"public_key", slot.public_key},
                      {"intact", slot.intact},
                      {"opened_here", slot.opened_here}});
    }
    write_data(list.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
  } else {
    // The slot's number, then '*' for the slot this command opened the
    // store through and '!' for one that opens nothing.
    std::string out = "SLOT KIND               CREATED     PUBLIC KEY             LABEL\n";
    const bool utf8 = utf8_locale();
    for (const kel::SlotInfo& slot : slots) {
      std::string mark = std::to_string(slot.index);
      if (slot.opened_here) mark += '*';
      if (!slot.intact) mark += '!';
      std::string line = padded(mark, 5) + padded(kind_name(slot.kind), 19) +
                         padded(created_date(slot.created), 12) +
                         padded(short_key(slot.public_key), 23);
      append_shown(line, slot.label, utf8);
      while (!line.empty() && line.back() == ' ') line.pop_back();
      out += line + "\n";
    }
    write_data(out);
  }
  for (const kel::SlotInfo& slot : slots) {
    if (!slot.intact) {
      note(what + ": " + describe(slot) + " is damaged, or not made with this store's key: "
                                          "it opens nothing, and the next grant or revoke drops it");
    }
  }
  return kOk;
}

struct RevokeArgs {
  std::string slot;
  bool yes = false;
  bool drop_backup = false;
};

// The slot SLOT names: its number, or a label that names one slot alone.
const kel::SlotInfo& chosen_slot(const std::vector<kel::SlotInfo>& slots, const std::string& given,
                                 const std::string& path) {
  const bool number = !given.empty() && given.size() <= 3 &&
                      given.find_first_not_of("0123456789") == std::string::npos;
  if (number) {
    const std::size_t index = std::stoul(given);
    for (const kel::SlotInfo& slot : slots) {
      if (slot.index == index) return slot;
    }
    throw Failure(kNotFound, "revoke: " + tool::quoted(path) + " has no slot " + given +
                                 " (kel-safe slots lists them, from 0)");
  }
  const kel::SlotInfo* found = nullptr;
  for (const kel::SlotInfo& slot : slots) {
    if (slot.label != given) continue;
    if (found != nullptr) {
      throw Failure(kRejected, "revoke: the label " + tool::quoted(given) + " names more than one "
                                   "slot of " + tool::quoted(path) + ": give the number (kel-safe "
                                   "slots lists them)");
    }
    found = &slot;
  }
  if (found == nullptr) {
    throw Failure(kNotFound, "revoke: " + tool::quoted(path) + " has no slot labelled " +
                                 tool::quoted(given) + " (kel-safe slots lists them)");
  }
  return *found;
}

int run_revoke(const Context& context, const RevokeArgs& args) {
  const std::string what = "revoke";
  // No slot has an empty name to take: an empty SLOT (an unset shell
  // variable) must not pick the slots that have no label.
  if (args.slot.empty()) {
    throw Failure(kUsage, "revoke: SLOT is empty: give the slot's number or its label "
                          "(kel-safe slots lists them)");
  }
  require_slots(context, what);
  const std::string path = store_file(context.store);
  SafeHandle safe = open_safe(context, what);
  const std::vector<kel::SlotInfo> slots = list_slots(*safe, what, path);
  const kel::SlotInfo slot = chosen_slot(slots, args.slot, path);
  const bool other_opens = std::any_of(slots.begin(), slots.end(), [&slot](const auto& each) {
    return each.intact && each.index != slot.index;
  });
  if (!other_opens) {
    throw Failure(kRejected, what + ": " + describe(slot) + " is the only slot that opens " +
                                 tool::quoted(path) + "; revoked, it would leave nobody a key: grant "
                                 "another first");
  }
  confirm_clear_text(args.yes, std::string("Revoke ") + describe(slot) + " of " + tool::quoted(path) +
                                   (slot.opened_here ? ", the one you opened it with," : "") +
                                   " and seal every entry again under a new store key?");
  std::string error;
  if (safe->revoke_slot(slot.index, error) != 0) {
    if (safe->status() == kel::Status::not_found) {
      throw Failure(kNotFound, what + ": " + tool::quoted(path) + " has no slot " +
                                   std::to_string(slot.index) + " any more (" + error + ")");
    }
    slot_failure(what, safe->status(), error, path);
  }
  if (!context.quiet) {
    note("revoked " + describe(slot) + " of " + tool::quoted(path) +
         " and drew a new store key: it opens nothing written from now on");
    note("a copy of the whole store file taken before still opens, with that key, what the "
         "store held then: treat those secrets as known to its holder, and change them");
  }
  // The previous file still has the revoked slot, and the old store key.
  const std::string backup = safe->removal_backup_path();
  struct stat info {};
  if (lstat(backup.c_str(), &info) == 0) {
    report_backup(context, backup, args.drop_backup, "still opens with the revoked slot's key");
    if (!args.drop_backup && !context.quiet) {
      note("remove it with: rm -- " + shell_word(backup, utf8_locale()));
    }
  }
  return kOk;
}

}  // namespace

CommandRun add_grant_command(CLI::App& sub, Context& context) {
  auto args = std::make_shared<GrantArgs>();
  auto* recipient = sub.add_option("--recipient", args->recipient,
                                   "A recipient slot for the public key PUBKEY (kel-safe keygen "
                                   "prints it): its identity opens the store, with no password")
                        ->type_name("PUBKEY");
  auto* password = sub.add_flag("--password", args->password,
                                "A password slot: the new password is asked twice (or taken "
                                "from --new-password-file, --new-password-fd or "
                                "KEL_SAFE_NEW_PASSWORD)");
  auto* key_file = sub.add_option("--key-file", args->key_file,
                                  "A slot that opens with a new password and FILE together "
                                  "(its whole content), neither alone")
                       ->type_name("FILE");
  recipient->excludes(password)->excludes(key_file);
  password->excludes(key_file);
  sub.add_option("--label", args->label,
                 "A name for the slot (at most 64 bytes), shown by slots and taken by revoke")
      ->type_name("LABEL");
  auto* new_file = sub.add_option("--new-password-file", context.passwords.new_file,
                                  "Read the new slot's password from the first line of FILE")
                       ->type_name("FILE");
  auto* new_fd = sub.add_option("--new-password-fd", context.passwords.new_fd,
                                "Read the new slot's password from the first line of "
                                "descriptor N")
                     ->type_name("N")
                     ->check(descriptor_number());
  new_file->excludes(new_fd);
  return [&context, args, recipient, password, key_file] {
    if (recipient->count() + password->count() + key_file->count() == 0) {
      throw Failure(kUsage, "grant: give one of --recipient PUBKEY, --password or --key-file FILE");
    }
    return run_grant(context, *args);
  };
}

CommandRun add_slots_command(CLI::App& sub, Context& context) {
  auto json = std::make_shared<bool>(false);
  sub.add_flag("--json", *json,
               "A JSON array, one object a slot, with the whole public key");
  return [&context, json] { return run_slots(context, *json); };
}

CommandRun add_revoke_command(CLI::App& sub, Context& context) {
  auto args = std::make_shared<RevokeArgs>();
  sub.add_option("SLOT", args->slot,
                 "The slot's number, as slots lists it (from 0), or a label that names one "
                 "slot alone")
      ->required();
  sub.add_flag("-y,--yes", args->yes, "Do not ask for confirmation");
  sub.add_flag("--drop-backup", args->drop_backup,
               "Delete the backup (the previous file, which still opens with the revoked "
               "slot's key) once the revocation succeeded");
  return [&context, args] { return run_revoke(context, *args); };
}

}  // namespace kel::tool

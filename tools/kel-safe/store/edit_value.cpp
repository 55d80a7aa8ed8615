#include "edit_value.h"

#include <memory>

#include "editor.h"
#include "entry_selection.h"
#include "plain_text_folder.h"
#include "status.h"
#include "streams.h"
#include "totp.h"

namespace kel::tool {

namespace {

// What the editor's text stands for: the text, less a final line end the
// editor added to a value that ended without one.
void drop_added_line_end(const Secret& before, Secret& after) {
  const std::string_view old_text = before.view();
  const std::string_view new_text = after.view();
  if (!new_text.empty() && new_text.back() == '\n' &&
      (old_text.empty() || old_text.back() != '\n')) {
    // A CR before it belongs to the line end (an editor writing CRLF).
    const bool crlf = new_text.size() >= 2 && new_text[new_text.size() - 2] == '\r' &&
                      (old_text.empty() || old_text.back() != '\r');
    Secret kept;
    kept.append(new_text.data(), new_text.size() - (crlf ? 2 : 1));
    after = std::move(kept);
  }
}

std::string signal_name(int signal) {
  switch (signal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    case SIGKILL: return "SIGKILL";
    default: return "signal " + std::to_string(signal);
  }
}

}  // namespace

EditAccess store_access(const Context& context, bool drop_backup) {
  const std::string path = store_file(context.store);
  auto safe = std::make_shared<SafeHandle>();
  const auto open = [&context, safe](const std::string& what) -> kel::Safe& {
    if (!*safe) *safe = open_safe(context, what);
    return **safe;
  };
  EditAccess access;
  access.read = [open, path](const std::string& name) -> std::optional<Secret> {
    const std::string what = "edit " + quoted(name);
    kel::Safe& store = open(what);
    std::string error;
    const int found = store.exists(name, error);
    if (found < 0) library_failure(what, store.status(), error, path, name);
    if (found == 0) return std::nullopt;
    const std::vector<kel::Entry> entries = read_entries(store, {name}, what, path);
    Secret value;
    value.append(entries.front().value().data(), entries.front().value().size());
    return value;
  };
  access.write = [&context, open, path, drop_backup](const std::string& name,
                                                    const Secret& value, bool stored) {
    const std::string what = "edit " + quoted(name);
    kel::Safe& store = open(what);
    kel::Entry entry(name);
    entry.set_value(value.str());
    std::string error;
    const int rc = stored ? store.replace_entry(entry, error) : store.set_entry(entry, error);
    if (rc != 0) library_failure(what, store.status(), error, path, name);
    if (!context.quiet) note((stored ? "changed " : "added ") + quoted(name));
    report_backup(context, store.removal_backup_path(), drop_backup,
                  stored ? "still holds the old value" : "does not hold " + quoted(name) + " yet");
  };
  return access;
}

int cmd_edit(const Context& context, const std::string& name, bool allow_disk,
             const std::function<EditAccess()>& access_to) {
  const std::string what = "edit " + quoted(name);
  // A batch's standard input and output carry its frames: an editor there
  // would read the next commands and write into the results.
  if (context.session_value) {
    throw Failure(kUsage, what + ": not in batch mode, where standard input and output carry "
                                 "the frames and no editor can have the terminal; run kel-safe "
                                 "edit, or edit in the interactive shell");
  }
  require_store(context);
  // Before the password: a folder that will not do is told without it.
  const std::string base = plain_text_base(allow_disk, what);
  const EditAccess access = access_to();
  std::optional<Secret> old_value = access.read(name);
  const bool stored = old_value.has_value();
  if (!old_value) old_value.emplace();
  const std::string command = editor_command();

  EditorRun run;
  Secret text;
  {
    // From before the file exists until it is gone: a signal to end the
    // tool waits until the plain text is removed.
    HeldSignals held;
    {
      PlainTextFolder folder(base, old_value->view(), what);
      run = run_editor(command, folder.file(), held);
      if (run.ending_signal == 0 && run.status == 0) text = folder.read();
    }  // overwritten and removed here, whatever happened
    if (run.ending_signal != 0) {
      held.raise_ending(run.ending_signal);
      throw Failure(kInternal, what + ": ended by " + signal_name(run.ending_signal) +
                                   "; nothing is changed");
    }
  }
  if (run.status != 0) {
    throw Failure(kFileError,
                  what + ": the editor (" + command + ") " +
                      (run.status < 0 ? "was ended by " + signal_name(run.killed_by)
                                      : "exited with status " + std::to_string(run.status)) +
                      "; nothing is changed");
  }
  drop_added_line_end(*old_value, text);
  if (equal(text, *old_value)) {
    if (!context.quiet) {
      note(what + ": " + (stored ? "unchanged; the store is untouched"
                                 : "the text is empty; nothing is added"));
    }
    return kOk;
  }
  if (text.empty()) {
    throw Failure(kRejected, what + ": " + kEmptyValue +
                                 "; nothing is changed (kel-safe rm removes an entry)");
  }
  refuse_bad_otpauth_uri(text.view(), what);
  // The editor may have been open for minutes: a value another process
  // stored meanwhile is not overwritten unseen.
  const std::optional<Secret> now = access.read(name);
  if (now.has_value() != stored || (now && !equal(*now, *old_value))) {
    throw Failure(kRejected, what + ": " +
                                 (now ? std::string("the entry was changed")
                                      : std::string(stored ? "the entry was removed"
                                                           : "the entry was added")) +
                                 " by another process while the editor was open; nothing is "
                                 "changed (run edit again)");
  }
  access.write(name, text, stored);
  return kOk;
}

}  // namespace kel::tool

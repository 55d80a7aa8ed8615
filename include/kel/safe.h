// kel::Safe: the class an application holds. One Safe stands for one store
// file and the password that unlocks it. Every operation is a thin call into
// the Safe's own kel::Store; failures come back as -1 (or false) with a
// human-readable message in the error text, never as exceptions the library
// raises itself. The error text is never cleared on success.
//
// Status codes. Beside its text, every call that can fail gives a code
// (kel/status.h) for code that must act on the kind of failure rather than
// show it: Safe::status() is the code of the last such call on this Safe,
// Status::ok when it succeeded. The text is for people and its wording may
// change; the code does not depend on it. exists(name) without an error
// text sets not_found when the name is not stored. Calls that cannot fail
// (version, removal_backup_path, set_scan_threads, set_kdf_threads,
// use_store_file) leave the code as it was. A standard-library exception that a call lets pass
// (an allocation failure, say) leaves it as it was too.
//
// One Safe is used by one thread at a time. Several Safes, in this process or
// in others, may share one store file: writers exclude each other with a lock
// on the whole file, and every Safe notices the others' changes before it
// reads or writes.
//
// Words. Each of these means one thing, here, in the other headers, in the
// library's sources and in the tool:
//   safe          a kel::Safe: an application's handle on one store file and
//                 the password it was given. A safe is an object, never a
//                 file. In the Safe's own call names "key" means the store
//                 password (key_verified, change_key), not the store key.
//   store         the encrypted, password-protected file of named secrets
//                 ("store file" where the file as such is meant), and the
//                 engine object that works on one, kel::Store.
//   entry         one named secret as the application holds it: a kel::Entry
//                 (its data a kel::SafeEntry), a name and a value. The word
//                 of the Safe's calls: add_entry, get_entry.
//   item          the same secret as the store keeps it: the word of the
//                 engine's calls (add_item, get_item). A kel::Item is the
//                 index's note of where one item's value lies in the file,
//                 never its name or value.
//   record        the bytes of one item in the store file: the name's length,
//                 the sealed name, the value's offset and length, the sealed
//                 value, 69 bytes more than name and value. A store file is a
//                 header followed by records, back to back.
//   name          what an entry or item is called: 1 to 255 bytes, any bytes,
//                 one item per name in a store, sealed in the file.
//   value         the secret bytes stored under a name, 1 to 4294967295 of
//                 them, sealed in the file apart from the name.
//   password      what unlocks a store; the file keeps only its salted hash.
//   store key     the random 32-byte key that seals every name and value,
//                 made with the store and drawn anew only by an upgrade and
//                 by rotate_key (a password change keeps it). The header
//                 holds it sealed under a key derived from the password; in
//                 memory it is kept masked, and every plain copy is wiped.
//                 A Safe that opened the store before another one drew a
//                 new key refuses it from then on (Status::changed).
//   backup        a whole store file as it was before a change, kept beside
//                 the store: "<store file>.backup1" after a password change,
//                 "<store file>.backup2" after a rewrite (removal_backup_path),
//                 "<store file>.damaged-<UTC time>" after a repair. It opens
//                 with the password it had.
//   damaged region  a stretch of the store file that holds no intact record
//                 (IntegrityReport::Region): what check reports and repair
//                 leaves behind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kel/add_outcome.h"
#include "kel/diagnostics.h"
#include "kel/entry.h"
#include "kel/export.h"
#include "kel/integrity_report.h"
#include "kel/key_slots.h"
#include "kel/progress.h"
#include "kel/status.h"
#include "kel/store_format.h"

namespace kel {

class Store;

class KEL_SAFE_EXPORT Safe {
 public:
  // A Safe without a store name or password; every store operation fails
  // (create_safe reports "Invalid store name").
  Safe();
  // name: the store file's path; ".safe" is appended unless it ends with it.
  // password: the store password. Nothing is opened yet.
  Safe(const std::string& name, const std::string& password);
  Safe(const Safe&) = delete;
  // Uses `path` itself as the store file, with no extension added, so that
  // a copy kept beside a store (its ".backup2", say) opens under the name
  // it has. Call it before any other operation of this Safe.
  void use_store_file(const std::string& path);
  Safe& operator=(const Safe&) = delete;
  virtual ~Safe();

  // Lets a scan of the whole store file (the first operation that needs
  // every name: listing, adding a new name, checking, any rewrite; and
  // after another process changed the file) open names on up to `threads`
  // threads (64 at most), which it starts and joins within that one call.
  // The default, 1, and 0 mean the calling thread alone: the library starts
  // no thread unless asked here, so a process may fork safely otherwise.
  // The index comes out the same either way; worth it on stores of many
  // thousands of entries.
  void set_scan_threads(unsigned threads);
  // Lets every Argon2id derivation of this Safe (opening a format-2 store,
  // checking its password, creating one, upgrading one, changing its
  // password) compute its lanes on up to `threads` threads (4 at most, and
  // no more than the store has lanes), which it starts and joins within
  // that one call. The default, 1, and 0 mean the calling thread alone, as
  // for set_scan_threads. The key is the same either way; the work is too,
  // so more threads shorten the wait, not an attacker's cost. Calibration
  // measures one lane in the calling thread whatever is set here.
  void set_kdf_threads(unsigned threads);

  // The code of the last call on this Safe that can fail: ok when it
  // succeeded, what kind of failure it met otherwise (see the top).
  Status status() const;

  // The library's version, "1.0.0".
  std::string_view version() const;

  // Creates a new, empty store file (mode 0660 less the umask). Fails if the
  // file exists or the password breaks the policy. On success the error
  // text holds the new file's path.
  int create_safe(std::string& error);
  // The same in the format `options` chooses (kel/store_format.h): format 2
  // derives the key from the password with Argon2id, by default calibrated
  // to about 500 ms of CPU time here, never less than 64 MiB with 3 passes.
  // Parameters below the minimum (19 MiB, and memory times passes at least
  // 19 MiB times 2) are refused (invalid_argument) and no file is made.
  int create_safe(const StoreOptions& options, std::string& error);
  // Which format the store file has, with format 2's Argon2id parameters.
  // Needs no password.
  int format_info(FormatInfo& info, std::string& error);
  // 1 or 2, or -1 with the error text.
  int format_version(std::string& error);
  // Rewrites a format-1 store as format 2, or (when `options.format` is 3)
  // a format-1 or format-2 store as format 3, with the Argon2id parameters
  // of `options`, in one rewrite like a removal's:
  // the password stays the same, a new random store key and store
  // identifier are drawn, every name and value is sealed again under them
  // (the plain copies of the old key are wiped), the old file is kept as
  // removal_backup_path(), and readers elsewhere find the old file or the
  // new one. The old key opens nothing of the new file; but every format-1
  // copy (that backup, a "<store file>.backup1" of an earlier password
  // change, a "<store file>.damaged-<UTC time>" of a repair) still gives up
  // the values it holds to cheap guessing: delete them once not needed.
  // A damaged store must be repaired first. Call it on a Safe that has not
  // used the store yet: the new header needs the password, which an open
  // store no longer holds. Refused when the password is changed elsewhere
  // while the new header is made.
  int upgrade(const StoreOptions& options, std::string& error);
  // Whether this Safe's password unlocks its store file. Once the store is
  // open, whether the password that opened it still matches the file.
  bool key_verified(std::string& error);
  // Changes the password of the store named `name` (old password checked,
  // new one held to the policy). The old file is kept as "<path>.backup1".
  // This Safe keeps its own password; use a new Safe with the new one.
  int change_key(const std::string& name, const std::string& old_password,
                 const std::string& new_password, std::string& error);
  // The same, and the format-2 (or format-3) store gets the Argon2id parameters of
  // `options` (its `format` is ignored; a memory or pass count of 0 is
  // calibrated as create_safe does) in the same rewrite of the header. The
  // store key stays. A format-1 store is refused (Status::invalid_argument):
  // it has no key derivation to set; upgrade makes it format 2.
  int change_key(const std::string& name, const std::string& old_password,
                 const std::string& new_password, const StoreOptions& options,
                 std::string& error);
  // Draws a new store key and store identifier for the format-2 or format-3
  // store named `name` (old password checked, new one held to the policy; it
  // may be the old one) and seals every name and value again under them, in
  // one rewrite. Format 3 keeps its store identifier and every other intact
  // key slot, each wrapped anew to the new key (as revoke_slot does): only
  // the slot the old password opens is replaced by one under the new
  // password; everyone else who opens the store keeps their access. One
  // rewrite like a removal's: readers elsewhere find the old file or the new
  // one, and a crash leaves one of the two. The Argon2id parameters stay.
  // Afterwards neither the old password nor the old header opens anything
  // the store holds, nor anything written to it later. The old file is kept
  // as "<path>.backup1" (the file a store path leads to, as for a password
  // change): it opens with the old password and holds the old key; delete
  // it, and any older backup, once not needed. A format-1 store is refused
  // (Status::invalid_argument; upgrade draws a new key), and so is a
  // damaged one (repair it first). A Safe that had opened the store, this
  // one included, refuses it from then on (Status::changed); use a new Safe.
  int rotate_key(const std::string& name, const std::string& old_password,
                 const std::string& new_password, std::string& error);
  // The same with the Argon2id parameters of `options`, as change_key.
  int rotate_key(const std::string& name, const std::string& old_password,
                 const std::string& new_password, const StoreOptions& options,
                 std::string& error);

  // Stores the entry's name and value; fails with "Item exists" when the
  // name is stored already. On 0 the record is on stable storage.
  int add_entry(const Entry& entry, std::string& error);
  // Fills the entry's value from the item of the entry's name.
  int get_entry(Entry& entry, std::string& error);
  // Whether an item of that name is stored; false when the store cannot be
  // opened or read.
  bool exists(const std::string& name);
  // The same question with an answer that can tell "not stored" from "could
  // not tell": 1 when stored, 0 when not, -1 (error text set) when the store
  // cannot be opened or read.
  int exists(const std::string& name, std::string& error);
  // Appends every stored name to `names` (in no particular order).
  int list_entries(std::vector<std::string>& names, std::string& error);
  // Appends every stored name with the length of its value, in no
  // particular order. No value is decrypted.
  int list_entry_lengths(std::vector<std::pair<std::string, std::uint64_t>>& entries,
                         std::string& error);
  // What the listing above could not read: the stretches of the store file
  // that hold no intact record (`what` says whether a record there may be
  // missing from the list, or whether only a length was damaged and read
  // around), in file order; none for an intact store. No value is
  // decrypted. 0, or -1 with the error text when the store cannot be read.
  int damaged_regions(std::vector<IntegrityReport::Region>& regions, std::string& error);
  // Fills the value of every entry in `entries` (by their names) in one pass
  // over the store file, in the order the values lie in it. All or nothing:
  // unless every value authenticated, no entry is changed and -1 comes back
  // with the failing step's message followed by ": " and the name.
  int get_entries(std::vector<Entry>& entries, std::string& error);
  // Stores many entries under one lock, with one sync for all of them: a
  // single rewrite of the store file (see replace_entry below), so every
  // reader finds all of them or none, and a crash leaves one of the two.
  // A name that is stored already is skipped, or, with `replace`, its value
  // is replaced in the same rewrite. `outcomes` receives, on 0, what became
  // of each entry, in the order of `entries`. Every name and value is
  // checked first; one invalid entry, or a name given twice, refuses the
  // whole call with the message followed by ": " and the name. Nothing is
  // written when no entry needs it.
  int add_entries(const std::vector<Entry>& entries, bool replace,
                  std::vector<AddOutcome>& outcomes, std::string& error);
  // Stores every entry of `put` (adding its name, or replacing the value
  // stored under it) and removes every name of `remove`, all in one rewrite
  // of the store file like a removal's (see replace_entry below): every
  // reader finds all of the changes or none, a crash leaves one of the two,
  // and the old file is kept as removal_backup_path(). All or nothing: every
  // name and value is checked first, and one invalid entry, a name given
  // twice (in either list, or in both) or a name to remove that is not
  // stored ("Entry not found: " and the name) refuses the whole call with
  // nothing written. Nothing is written when both lists are empty.
  int apply_changes(const std::vector<Entry>& put, const std::vector<std::string>& remove,
                    std::string& error);
  // Removes an item by rewriting the store file; the old file is kept as
  // "<path>.backup2".
  int remove_entry(const std::string& name, std::string& error);
  // Removes every entry in `names` in one rewrite, all or nothing: when one
  // is absent nothing is removed, and the message names it.
  int remove_entries(const std::vector<std::string>& names, std::string& error);

  // Replacing, renaming and copying. Each is one rewrite of the store file,
  // exactly like a removal (the old file is kept as removal_backup_path()),
  // never an add followed by a removal: every reader, in this process or
  // another, finds the old state or the new one, never neither, and a crash
  // at any point leaves one of the two. Entries that do not change are
  // copied as sealed bytes; the changed entry is sealed with fresh nonces.
  //
  // Replaces the value of the entry's name; "Entry not found" when absent.
  int replace_entry(const Entry& entry, std::string& error);
  // Replaces the value, or adds the entry when its name is absent.
  int set_entry(const Entry& entry, std::string& error);
  // The same with the whole content of the file at `path` as the value.
  int replace_entry_from_file(const std::string& name, const std::string& path,
                              std::string& error);
  int set_entry_from_file(const std::string& name, const std::string& path,
                          std::string& error);
  // Renames `old_name` to `new_name`; fails with "Item exists" when
  // `new_name` is stored already, "Entry not found" when `old_name` is not.
  int rename_entry(const std::string& old_name, const std::string& new_name,
                   std::string& error);
  // Stores the value of `name` under `new_name` too (same failures).
  int copy_entry(const std::string& name, const std::string& new_name,
                 std::string& error);
  // As rename_entry and copy_entry; with `replace`, a value stored under
  // `new_name` is replaced in the same rewrite, so readers find the old
  // value or the new one under `new_name`, never none. A rename onto its
  // own name is still "Item exists".
  int rename_entry(const std::string& old_name, const std::string& new_name, bool replace,
                   std::string& error);
  int copy_entry(const std::string& name, const std::string& new_name, bool replace,
                 std::string& error);
  // Where the last rewrite kept the previous store file: the store file
  // (the file its symbolic link leads to, if it is one) + ".backup2".
  std::string removal_backup_path() const;

  // Stores the whole content of the file at `path` as the value of `name`.
  // The file is streamed; memory use does not grow with its size. A regular
  // file is read up to the size it had when the call began; a pipe, FIFO,
  // "/dev/stdin" or a file that reports no size is read to its end (with
  // progress, the total is known only at the last call). An empty source
  // fails with "Invalid entry value", one of more than 4294967295 bytes with
  // "Entry value too big"; the store is unchanged then.
  int add_entry_from_file(const std::string& name, const std::string& path,
                          std::string& error);
  int add_entry_from_file(const std::string& name, const std::string& path,
                          std::string& error, const Progress& progress);
  // The same from a descriptor the caller opened (and still owns), so that
  // the value stored is exactly the file the caller examined, with no path
  // looked up again: a regular file is read whole from its start, anything
  // else from the descriptor's position to its end. 0, or -1 with the
  // error text.
  int add_entry_from_fd(const std::string& name, int fd, std::string& error);
  // As set_entry_from_file, from a descriptor read as above.
  int set_entry_from_fd(const std::string& name, int fd, std::string& error);
  // Decrypts the value of `name` into the descriptor `fd` (at its current
  // position), in pieces, without holding the whole value in memory. The
  // bytes written are authenticated only when the call returns 0: on -1 the
  // caller must discard what reached `fd` (write to a private temporary
  // file and put it in place only on success).
  int get_entry_to_fd(const std::string& name, int fd, std::string& error);
  int get_entry_to_fd(const std::string& name, int fd, std::string& error,
                      const Progress& progress);
  // Writes the value of `name` to `fd` (a pipe, terminal, device or file, at
  // its current position) such that every byte written has authenticated
  // first. A value up to 4 MiB is decrypted whole in memory, then written.
  // A larger one is authenticated in a first pass over the store file that
  // keeps none of it, then decrypted and written in a second pass in
  // pieces, each checked to be the bytes the first pass authenticated:
  // memory stays bounded whatever length the file claims. On -1 nothing
  // was written, unless the error begins "Could not write value - " (the
  // descriptor failed) or the file changed between the passes; even then
  // only authenticated bytes of the value's beginning were written.
  int get_entry_to_stream(const std::string& name, int fd, std::string& error);

  // Fills `buffer` with `count` bytes from the library's random source (the
  // one that makes keys and nonces). Needs no store file.
  int random_bytes(unsigned char* buffer, std::size_t count, std::string& error);

  // Authenticates the header, every name and every value, in one pass with
  // bounded memory, and describes what fails in `report` (replacing what it
  // held). Returns 0 when the pass ran (report.clean() tells the result), -1
  // with the error text when the store cannot be opened or read.
  int check(IntegrityReport& report, std::string& error);
  // Writes a new store file that holds every record that authenticates, the
  // way a removal does (under the write lock, synced, renamed into place),
  // and keeps the old file as "<path>.damaged-<UTC time>". A value whose
  // name is lost is kept as "recovered-<offset>". The report says what was
  // dropped and what was renamed. A clean store is left untouched.
  int repair(IntegrityReport& report, std::string& error);

  // ---- Key slots (format 3; see kel/key_slots.h) --------------------------
  // Each of these reports its Status through status() as every call does.
  // The three use_* calls choose what opens the store, and must come before
  // the Safe first uses it; the last one made holds.
  // Opens through a recipient slot with the identity in `identity_text`
  // (an identity file's whole text) instead of the password, which is then
  // not needed. The text is checked here (invalid_argument); the Safe keeps
  // the secret key only until the store is open, and wipes it then, as it
  // does the password (and the key file's hash of use_key_file).
  int use_identity(const std::string& identity_text, std::string& error);
  // The same with the identity read from the file at `path` (caller_file
  // when it cannot be read).
  int use_identity_file(const std::string& path, std::string& error);
  // Opens through a password-and-key-file slot: the Safe's password with
  // the key file at `path` (its whole content; caller_file when it cannot
  // be read, invalid_argument when it is empty).
  int use_key_file(const std::string& path, std::string& error);
  // The slots of the store's header, in order. Needs the store opened (by
  // any slot): it reports which slots are intact under the store key.
  int list_slots(std::vector<SlotInfo>& slots, std::string& error);
  // Adds a slot, in one rewrite of the header (the records stay as they
  // are sealed; readers elsewhere find the old header or the new one). The
  // store must open with this Safe's key. invalid_argument when the store
  // holds kMaxKeySlots slots already, when the label is too long, or when
  // the store is not format 3; damaged when it must be repaired first.
  // A password slot under `password`, held to the password policy.
  int grant_password(const std::string& password, const std::string& label,
                     std::string& error);
  // A password-and-key-file slot under `password` and the key file at
  // `key_file_path`.
  int grant_key_file(const std::string& password, const std::string& key_file_path,
                     const std::string& label, std::string& error);
  // A recipient slot for the public key text `public_key`; exists when the
  // store has a slot for that key already.
  int grant_recipient(const std::string& public_key, const std::string& label,
                      std::string& error);
  // Removes slot `index` (as list_slots numbers them) and, in the same
  // rewrite, draws a new store key, seals every name and value again under
  // it and wraps it to every remaining slot. Afterwards the removed slot,
  // and any copy of the header taken before, opens nothing written to the
  // store from then on; what the old key could read before, a copy of the
  // old file still gives up. The old file is kept as "<path>.backup2", as
  // for any rewrite. not_found when there is no such slot; invalid_argument
  // when it is the last intact slot; damaged when the store must be
  // repaired first. Other Safes that had opened the store refuse it from
  // then on (Status::changed); this one goes on with the new key.
  int revoke_slot(std::size_t index, std::string& error);

 private:
  Store* store;
};

}  // namespace kel

// Status codes: what kind of failure a call met, for code that must act on
// it (choose an exit status, offer to repair, ask for the password again)
// rather than show it. The error text stays the message for people; a code
// never depends on its wording, and its wording may change while the codes
// stay.
//
// The numeric values are fixed: they are part of the library's interface
// and will be exposed to C as they are. New codes are only ever added at the
// end; a caller should treat a code it does not know as io_error.
//
// How a call gives its code: see the top of kel/safe.h (Safe::status).
#pragma once

#include "kel/export.h"

namespace kel {

enum class Status : int {
  // The call succeeded.
  ok = 0,
  // No entry of that name is stored.
  not_found = 1,
  // The store file, or a folder on the way to it, does not exist.
  store_not_found = 2,
  // The name is stored already (adding, renaming or copying onto it), or a
  // store file is already there to be created.
  exists = 3,
  // The password does not open this store.
  wrong_password = 4,
  // The file is not a store file this library reads: a directory, a
  // device, an empty file, one shorter than a header, or a store of a
  // format version this library does not know.
  not_a_store = 5,
  // The store file is damaged: a name, value or header does not
  // authenticate, or records cannot be read. Its check and repair calls
  // say what and where; a rewrite refuses until it is repaired.
  damaged = 6,
  // The file system is full, or the user's quota is used up.
  no_space = 7,
  // The system refused access (file permissions, a read-only file
  // system), or the library refused a rewrite that would lock the store's
  // owner or group out of it.
  permission = 8,
  // The call was given something it does not accept: an empty or too long
  // name, an empty value, a password the policy refuses, an unknown format
  // or out-of-range key derivation parameters, a name given twice, or a
  // request that does not apply to the store as it is (an upgrade of a
  // store that has the newest format already).
  invalid_argument = 9,
  // A value longer than 4294967295 bytes, the most a record can hold.
  too_big = 10,
  // Another process changed the store file while the call worked on it
  // (replaced it, changed its password or format): the call changed
  // nothing, or, for a value written out in pieces, stopped; try again.
  changed = 11,
  // The system failed to read, write, lock, rename or sync a file, for a
  // reason none of the codes above names.
  io_error = 12,
  // A file or descriptor of the caller's own could not be used: the source
  // of a value (a path or descriptor to read from) could not be opened or
  // read, or the descriptor a value is written to failed. The store is
  // not at fault; kel::last_system_error tells the cause.
  caller_file = 13,
  // Something that should not happen: the cryptographic library failed,
  // memory ran out, or an unexpected exception was caught.
  internal = 14,
};

// The code's name as written above ("not_found"), or "unknown" for a
// value that is not a code. The text is static; never null.
KEL_SAFE_EXPORT const char* status_name(Status code);

}  // namespace kel

// One rewrite of the whole store file under a new store key: what an
// upgrade to format 2 and a key rotation share. Every record the index
// holds is opened with the old key and sealed again under the new one,
// bound to the new header's identifier; records no name reads (a name
// stored twice: only its first record is ever read) are left out. The new
// header, made beforehand (its derivation takes its time outside the lock),
// wraps the new key. Readers elsewhere find the old file or the new one;
// the old file is kept as the backup. Afterwards the Store holds the new
// key, and a Store elsewhere that holds the old one refuses the new file.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "items/rewrite_operation.h"
#include "kel/status.h"
#include "kel/store.h"

namespace kel::detail {

struct NewKeyRewrite {
  RewriteMessages messages;
  // The 132 header bytes the password was checked against (format 3: the
  // Store's verified header is checked instead, slots and all). The new header
  // wraps the key under a password checked against that one: after a
  // password change elsewhere it would bring the old password back, so the
  // rewrite is refused with `changed_meanwhile` (Status::changed) then.
  const unsigned char* opened = nullptr;
  std::string changed_meanwhile;
  // The format the file must still have under the lock, else `other_format`
  // with `other_format_status`.
  int format_version = 2;
  std::string other_format;
  Status other_format_status = Status::changed;
  std::vector<unsigned char> header;       // the new header, wrapping new_key
  // When set (format 3's key slots), the new header is made by this, with
  // the lock held, from the file's header as it is then and the old `key`,
  // instead of `header`; it checks that the header is still one to change
  // (`opened` is not used then).
  std::function<int(const unsigned char* key, std::vector<unsigned char>& header,
                    std::string& error)>
      make_header;
  const unsigned char* new_key = nullptr;  // the new plain store key
  std::string backup_path;                 // empty: the removal backup
};

// 0, or -1 with the message; nothing is changed on -1 unless the new file
// was put in place (see run_rewrite).
int rewrite_under_new_key(Store& store, const NewKeyRewrite& rewrite, std::string& text);

}  // namespace kel::detail

/* kel.h: the C interface of libkel-safe, for C programs and for every
 * language that binds C (Python's ctypes, Go's cgo, Rust, Node).
 *
 * It is a thin layer over kel::Safe (kel/safe.h) in the same library,
 * libkel-safe.so.1: the same store files, the same rules for names, values
 * and passwords, the same locking. Its symbols carry the version
 * KEL_SAFE_1.1, the key slots' KEL_SAFE_1.2. Types are opaque and every layout this header shows is
 * either fixed (the status codes) or grows behind a size field
 * (kel_store_options), so the C ABI stays stable when the C++ classes
 * change.
 *
 * Results. Every operation returns a kel_status: KEL_OK on success, what
 * kind of failure it met otherwise. kel_safe_error(handle) gives the
 * message of the last call on that handle ("" after a success), for people;
 * its wording may change, the codes do not. The few calls that only read a
 * value back (kel_safe_error, kel_status_name, kel_secret_data,
 * kel_secret_size, the kel_slots_ accessors) return it directly, and the
 * calls that release something (kel_safe_close, kel_secret_free,
 * kel_list_close, kel_slots_close) cannot fail and return nothing; each
 * accepts NULL and then does nothing.
 *
 * Names and values are bytes with a length, never NUL-terminated strings:
 * a name is 1 to 255 bytes, any bytes (NUL included), a value 1 to
 * 4294967295 bytes. Passwords are bytes with a length too. Paths are
 * NUL-terminated, as the system takes them.
 *
 * Secrets. The library wipes every copy of a password or value it makes
 * (overwrites it in a way the compiler keeps) before releasing it. What the
 * caller passes in stays the caller's to wipe; what it gets out goes either
 * into the caller's own buffer (kel_safe_get), which the caller wipes, or
 * into a kel_secret that kel_secret_free wipes. A message never holds a
 * password or a value.
 *
 * Threads and processes. One handle is used by one thread at a time (a
 * handle may move between threads; calls on it must not overlap). Any
 * number of handles, in one process or in many, may work on the same store
 * file at once: writers exclude each other with a lock on the whole file,
 * and every handle notices the others' changes before it reads or writes.
 * The library starts no threads unless asked, through
 * kel_safe_set_kdf_threads or kel_safe_set_scan_threads; even then it joins
 * them before the call that used them returns, so a process may fork
 * between calls.
 *
 * A minimal program:
 *
 *   kel_safe* safe = NULL;
 *   if (kel_safe_open(&safe, "app", pw, pw_len) == KEL_OK)
 *     kel_safe_get(safe, "db", 2, buffer, sizeof buffer, &length);
 *   kel_safe_close(safe);
 */
#ifndef KEL_KEL_H
#define KEL_KEL_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define KEL_C_EXPORT __attribute__((visibility("default")))
#else
#define KEL_C_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The status codes, with the values of kel::Status (kel/status.h), which
 * never change; new codes are only added. A caller treats a code it does
 * not know as KEL_IO_ERROR. */
typedef enum kel_status {
  KEL_OK = 0,
  KEL_NOT_FOUND = 1,         /* no entry of that name is stored */
  KEL_STORE_NOT_FOUND = 2,   /* the store file, or a folder on its way, is missing */
  KEL_EXISTS = 3,            /* the name is stored already, or the store file exists */
  KEL_WRONG_PASSWORD = 4,    /* the password does not open this store */
  KEL_NOT_A_STORE = 5,       /* not a store file this library reads */
  KEL_DAMAGED = 6,           /* the store file is damaged: check, then repair with the tool */
  KEL_NO_SPACE = 7,          /* the file system is full, or the quota used up */
  KEL_PERMISSION = 8,        /* the system refused access */
  KEL_INVALID_ARGUMENT = 9,  /* a name, value, password, format or option not accepted */
  KEL_TOO_BIG = 10,          /* a value longer than 4294967295 bytes */
  KEL_CHANGED = 11,          /* another process changed the store meanwhile: try again */
  KEL_IO_ERROR = 12,         /* reading, writing, locking, renaming or syncing failed */
  KEL_CALLER_FILE = 13,      /* the caller's own descriptor could not be read or written */
  KEL_INTERNAL = 14,         /* should not happen: out of memory, a crypto failure */
  /* C only, never a kel::Status: the caller's buffer is shorter than the
   * value (kel_safe_get), whose length is reported. */
  KEL_BUFFER_TOO_SMALL = 256
} kel_status;

/* The code's name as written above without "KEL_" and in lower case
 * ("not_found"), or "unknown". Static text, never NULL. */
KEL_C_EXPORT const char* kel_status_name(kel_status code);

/* ---- Handles ----------------------------------------------------------- */

/* One store file and the password that unlocks it; kel::Safe in C. */
typedef struct kel_safe kel_safe;

/* Makes a handle on the store `path` (".safe" is appended unless the path
 * ends with it) with the password's bytes, and checks that the password
 * opens it. On KEL_OK the store is open. Whatever the status, *out receives
 * a handle (NULL only when memory ran out), so that kel_safe_error can
 * tell what failed: the caller closes it in every case. Statuses:
 * KEL_STORE_NOT_FOUND, KEL_WRONG_PASSWORD, KEL_NOT_A_STORE, KEL_DAMAGED,
 * KEL_PERMISSION, KEL_IO_ERROR, KEL_INVALID_ARGUMENT (a NULL argument).
 * The derivation of a format-2 (or newer) store runs on the calling thread;
 * for more, use kel_safe_new, kel_safe_set_kdf_threads, kel_safe_verify. */
KEL_C_EXPORT kel_status kel_safe_open(kel_safe** out, const char* path, const void* password,
                                      size_t password_length);

/* The first half of kel_safe_open: makes the handle and touches no file.
 * The password is copied into the library, which wipes its copy once the
 * store is open, or when the handle closes. */
KEL_C_EXPORT kel_status kel_safe_new(kel_safe** out, const char* path, const void* password,
                                     size_t password_length);

/* The second half: whether the handle's password opens its store; opens
 * it when it does (statuses as kel_safe_open). */
KEL_C_EXPORT kel_status kel_safe_verify(kel_safe* safe);

/* Closes the handle: the store file's descriptor, the masked store key,
 * the password if it is still held (wiped). NULL: nothing. */
KEL_C_EXPORT void kel_safe_close(kel_safe* safe);

/* The message of the last call on `safe` that could fail, "" after a
 * success; valid until the next call on the handle. Never NULL ("" for a
 * NULL handle). */
KEL_C_EXPORT const char* kel_safe_error(const kel_safe* safe);

/* Lets the Argon2id key derivations of this handle (checking the
 * password, a password change, an upgrade) compute their lanes on up to
 * `threads` threads (at most 4), started and joined within the call that
 * derives. 0 and 1 (the default) mean the calling thread alone. KEL_OK;
 * KEL_INVALID_ARGUMENT for a NULL handle. */
KEL_C_EXPORT kel_status kel_safe_set_kdf_threads(kel_safe* safe, unsigned threads);
/* Lets scans of the whole store file (the first listing, the first add, a
 * check, a reload after another process wrote) open names on up to
 * `threads` threads (at most 64), as kel_safe_set_kdf_threads. */
KEL_C_EXPORT kel_status kel_safe_set_scan_threads(kel_safe* safe, unsigned threads);

/* ---- Creating, upgrading, changing the password ------------------------ */

/* What kel_safe_create, kel_safe_upgrade and kel_safe_change_password are
 * to make. Set it up with kel_store_options_init, then change fields: the
 * library reads only the fields that `size` covers, so a program built
 * against this header keeps working with a later library whose struct has
 * grown. */
typedef struct kel_store_options {
  size_t size;              /* sizeof(kel_store_options), set by init */
  int format;               /* 0: the newest format this library writes (the
                               tool's default); 1: the legacy format, whose
                               password check is cheap to guess against */
  uint32_t kdf_memory_kib;  /* Argon2id memory; 0: calibrated (64 to 256 MiB) */
  uint32_t kdf_passes;      /* Argon2id passes; 0: calibrated */
  uint32_t kdf_lanes;       /* Argon2id lanes, 1 to 64; 0: 4 */
  uint32_t kdf_time_ms;     /* the CPU time calibration aims at; 0: 500 */
} kel_store_options;

/* Fills `options` with the defaults above: the newest format, calibrated
 * to about half a second of CPU time. KEL_INVALID_ARGUMENT for NULL. */
KEL_C_EXPORT kel_status kel_store_options_init(kel_store_options* options);

/* Creates a new, empty store file at `path` (".safe" appended as for
 * kel_safe_open, mode 0660 less the umask) protected by the password, in
 * the format of `options` (NULL: the defaults of kel_store_options_init).
 * *out receives a handle on it as kel_safe_open gives one, in every case.
 * KEL_EXISTS when a file is there already (it is never touched);
 * KEL_INVALID_ARGUMENT when the password breaks the policy or an option is
 * out of range. */
KEL_C_EXPORT kel_status kel_safe_create(kel_safe** out, const char* path, const void* password,
                                        size_t password_length,
                                        const kel_store_options* options);

/* Changes the store's password from `old_password` to `new_password`
 * (held to the policy); the handle then works with the new one. The old
 * file is kept beside the store as "<store file>.backup1": it still opens
 * with the old password, so delete it once not needed. With `options`
 * (NULL: keep them) a store of format 2 or newer gets their Argon2id
 * parameters in the same rewrite of the header (the format is ignored);
 * a format-1 store refuses options (KEL_INVALID_ARGUMENT). */
KEL_C_EXPORT kel_status kel_safe_change_password(kel_safe* safe, const void* old_password,
                                                 size_t old_password_length,
                                                 const void* new_password,
                                                 size_t new_password_length,
                                                 const kel_store_options* options);

/* Rewrites the store in the format of `options` (NULL, or format 0: the
 * newest) with a new store key, keeping its password, which is given again
 * here because an open handle no longer holds it. The old file is kept as
 * "<store file>.backup2" and still gives up its values to whoever guesses
 * its password: delete it once not needed. KEL_INVALID_ARGUMENT for a
 * format other than 0, 2 or 3, or when the store has that format (or a
 * newer one) already; KEL_DAMAGED for a damaged store. The
 * handle works on the new file afterwards. */
KEL_C_EXPORT kel_status kel_safe_upgrade(kel_safe* safe, const void* password,
                                         size_t password_length,
                                         const kel_store_options* options);

/* The store file's format version (1, 2, ...) into *version. */
KEL_C_EXPORT kel_status kel_safe_format(kel_safe* safe, int* version);

/* ---- Values ------------------------------------------------------------ */

/* Reads the value of `name`. Its length goes to *length first; when it
 * fits in `capacity`, the value is copied to `buffer` and the result is
 * KEL_OK; when it does not, nothing is copied and the result is
 * KEL_BUFFER_TOO_SMALL (so a call with a NULL buffer and capacity 0 asks
 * for the length). The library's own copy is wiped; `buffer` is the
 * caller's to wipe. KEL_NOT_FOUND when the name is not stored; KEL_DAMAGED
 * when the value does not authenticate. */
KEL_C_EXPORT kel_status kel_safe_get(kel_safe* safe, const void* name, size_t name_length,
                                     void* buffer, size_t capacity, size_t* length);

/* A value held by the library, wiped when it is released. */
typedef struct kel_secret kel_secret;

/* Reads the value of `name` into a new kel_secret at *out (NULL on
 * failure), which the caller releases with kel_secret_free. */
KEL_C_EXPORT kel_status kel_safe_get_secret(kel_safe* safe, const void* name, size_t name_length,
                                            kel_secret** out);
/* The value's bytes (not NUL-terminated), valid until kel_secret_free;
 * NULL for a NULL secret. */
KEL_C_EXPORT const unsigned char* kel_secret_data(const kel_secret* secret);
/* The value's length; 0 for a NULL secret. */
KEL_C_EXPORT size_t kel_secret_size(const kel_secret* secret);
/* Wipes the value and releases it. NULL: nothing. */
KEL_C_EXPORT void kel_secret_free(kel_secret* secret);

/* Writes the value of `name` to the descriptor `fd` (at its position), in
 * pieces for a large value; every byte written has authenticated first.
 * The descriptor stays the caller's. */
KEL_C_EXPORT kel_status kel_safe_get_fd(kel_safe* safe, const void* name, size_t name_length,
                                        int fd);

/* Stores a new entry. KEL_EXISTS when the name is stored already (its value
 * is left alone). On KEL_OK the record is on stable storage. */
KEL_C_EXPORT kel_status kel_safe_add(kel_safe* safe, const void* name, size_t name_length,
                                     const void* value, size_t value_length);

/* Replaces the value of a stored name, in one rewrite of the store file:
 * every reader finds the old value or the new one, and a crash leaves one
 * of the two. The previous file is kept as "<store file>.backup2".
 * KEL_NOT_FOUND when the name is not stored. */
KEL_C_EXPORT kel_status kel_safe_replace(kel_safe* safe, const void* name, size_t name_length,
                                         const void* value, size_t value_length);

/* As kel_safe_add, with the value read from the descriptor `fd`: a regular
 * file whole from its start, anything else (a pipe, a socket) from its
 * position to its end, streamed in pieces. The descriptor stays the
 * caller's. KEL_CALLER_FILE when it cannot be read. */
KEL_C_EXPORT kel_status kel_safe_add_fd(kel_safe* safe, const void* name, size_t name_length,
                                        int fd);

/* As kel_safe_replace from a descriptor read as kel_safe_add_fd reads it;
 * a name not stored yet is added. */
KEL_C_EXPORT kel_status kel_safe_set_fd(kel_safe* safe, const void* name, size_t name_length,
                                        int fd);

/* KEL_OK when `name` is stored, KEL_NOT_FOUND when it is not, another
 * status when the store cannot tell. */
KEL_C_EXPORT kel_status kel_safe_exists(kel_safe* safe, const void* name, size_t name_length);

/* Removes the entry, in one rewrite (the previous file is kept as
 * "<store file>.backup2"). KEL_NOT_FOUND when it is not stored. */
KEL_C_EXPORT kel_status kel_safe_remove(kel_safe* safe, const void* name, size_t name_length);

/* Renames an entry in one rewrite. KEL_NOT_FOUND when `old_name` is not
 * stored, KEL_EXISTS when `new_name` is (nothing changes then). */
KEL_C_EXPORT kel_status kel_safe_rename(kel_safe* safe, const void* old_name,
                                        size_t old_name_length, const void* new_name,
                                        size_t new_name_length);

/* ---- Listing ----------------------------------------------------------- */

/* The names stored when kel_list_open ran, in no particular order. */
typedef struct kel_list kel_list;

/* Lists the store's names (and their values' lengths; no value is
 * decrypted) into a new iterator at *out, and their number into *count
 * (may be NULL). The list is a snapshot: later changes do not show. */
KEL_C_EXPORT kel_status kel_list_open(kel_safe* safe, kel_list** out, size_t* count);

/* The next name: its bytes (not NUL-terminated, valid until
 * kel_list_close) and length, and its value's length (may be NULL). At the
 * end *name is NULL and *name_length 0; still KEL_OK. */
KEL_C_EXPORT kel_status kel_list_next(kel_list* list, const unsigned char** name,
                                      size_t* name_length, uint64_t* value_length);

/* Wipes the names and releases the iterator. NULL: nothing. */
KEL_C_EXPORT void kel_list_close(kel_list* list);

/* ---- Integrity --------------------------------------------------------- */

/* Authenticates the header, every name and every value, in one pass with
 * bounded memory. *intact receives the number of records that
 * authenticate, *damaged the number of damaged stretches of the file plus
 * values that fail (both may be NULL). KEL_OK when everything
 * authenticated, KEL_DAMAGED when something did not (the counts say how
 * much; kel-safe check says where, kel-safe repair saves the rest), another
 * status when the store could not be read (counts 0). */
KEL_C_EXPORT kel_status kel_safe_check(kel_safe* safe, uint64_t* intact, uint64_t* damaged);

/* ---- Key slots (format 3) ------------------------------------------------
 * Added in KEL_SAFE_1.2; see kel/key_slots.h. A format-3 store holds 1 to
 * KEL_MAX_KEY_SLOTS slots, each of which opens it: a password, a password
 * together with a key file, or an identity (an X25519 secret key kept in a
 * file) for a recipient slot. Formats 1 and 2 have one password and no
 * slots: the slot calls refuse them with KEL_INVALID_ARGUMENT.
 *
 * Opening through a slot other than a password's: make the handle with
 * kel_safe_new (no password for an identity: NULL, 0), choose what opens
 * with one kel_safe_use_ call, then kel_safe_verify. The choice must come
 * before the handle first reads the store; the last one made holds. */

#define KEL_MAX_KEY_SLOTS 16
/* A slot's label: 0 to 64 bytes, any bytes but NUL and line breaks. */
#define KEL_MAX_SLOT_LABEL 64
/* A buffer of this many bytes holds any public key text with its NUL. */
#define KEL_PUBLIC_KEY_CAPACITY 128

/* The kinds of kel::SlotKind, value for value. */
typedef enum kel_slot_kind {
  KEL_SLOT_UNKNOWN = 0, /* a kind this library does not know: never opens */
  KEL_SLOT_PASSWORD = 1,
  KEL_SLOT_RECIPIENT = 2,
  KEL_SLOT_PASSWORD_AND_KEY_FILE = 3
} kel_slot_kind;

/* Identities. These need no handle and give no message: the status says
 * it. A public key goes into the caller's `public_key` buffer of
 * `capacity` bytes as a NUL-terminated line of printable ASCII (nothing
 * secret), its length without the NUL into *length; when it does not fit
 * (KEL_PUBLIC_KEY_CAPACITY always does), nothing is copied and the result
 * is KEL_BUFFER_TOO_SMALL. */

/* Makes a new identity: the whole text of an identity file into a new
 * kel_secret at *identity (a secret: write it to a file of mode 0600, then
 * kel_secret_free wipes it), its public key into `public_key`. On any
 * failure *identity is NULL. */
KEL_C_EXPORT kel_status kel_generate_identity(kel_secret** identity, char* public_key,
                                              size_t capacity, size_t* length);

/* The public key of the identity whose text (an identity file's whole
 * content) is the `identity_length` bytes at `identity`.
 * KEL_INVALID_ARGUMENT when they hold no valid identity. */
KEL_C_EXPORT kel_status kel_identity_public_key(const void* identity, size_t identity_length,
                                                char* public_key, size_t capacity,
                                                size_t* length);

/* KEL_OK when `public_key` is a valid public key text (white space around
 * it allowed), KEL_INVALID_ARGUMENT otherwise. */
KEL_C_EXPORT kel_status kel_check_public_key(const char* public_key);

/* Choosing what opens the handle's store (before its first use). */

/* Through a recipient slot, with the identity text at `identity`; the
 * password is then not needed. The text is checked here
 * (KEL_INVALID_ARGUMENT); the library holds the secret key only until the
 * store is open and wipes it then, as it does the password. The caller's
 * bytes stay the caller's to wipe. A store with no slot for it refuses with KEL_WRONG_PASSWORD. */
KEL_C_EXPORT kel_status kel_safe_use_identity(kel_safe* safe, const void* identity,
                                              size_t identity_length);
/* The same with the identity file at `path` (KEL_CALLER_FILE when it
 * cannot be read). */
KEL_C_EXPORT kel_status kel_safe_use_identity_file(kel_safe* safe, const char* path);
/* Through a password-and-key-file slot: the handle's password with the
 * whole content of the key file at `path` (KEL_CALLER_FILE when it cannot
 * be read, KEL_INVALID_ARGUMENT when it is empty). */
KEL_C_EXPORT kel_status kel_safe_use_key_file(kel_safe* safe, const char* path);

/* Adding and removing slots, each in one rewrite of the store file; the
 * store must open with the handle's key. `label` is NUL-terminated (NULL:
 * no label). KEL_INVALID_ARGUMENT when the store holds KEL_MAX_KEY_SLOTS
 * slots already, when the label is too long, or when the store is not
 * format 3; KEL_DAMAGED when it must be repaired first. */

/* A password slot under the password's bytes, held to the password
 * policy. */
KEL_C_EXPORT kel_status kel_safe_grant_password(kel_safe* safe, const void* password,
                                                size_t password_length, const char* label);
/* A password-and-key-file slot under the password and the key file at
 * `key_file_path`. */
KEL_C_EXPORT kel_status kel_safe_grant_key_file(kel_safe* safe, const void* password,
                                                size_t password_length,
                                                const char* key_file_path, const char* label);
/* A recipient slot for the public key text `public_key`; KEL_EXISTS when
 * the store has a slot for that key already. */
KEL_C_EXPORT kel_status kel_safe_grant_recipient(kel_safe* safe, const char* public_key,
                                                 const char* label);
/* Removes slot `index` (as kel_slots_open numbers them) and in the same
 * rewrite draws a new store key that seals every name and value again and
 * is wrapped to every remaining slot: the removed slot, and any copy of the
 * header taken before, opens nothing written from then on (a copy of the
 * old file still gives up what it held; the old file is kept as "<store
 * file>.backup2"). KEL_NOT_FOUND when there is no such slot;
 * KEL_INVALID_ARGUMENT when it is the last intact one. Other handles that
 * had opened the store refuse it from then on (KEL_CHANGED); this one goes
 * on with the new key. */
KEL_C_EXPORT kel_status kel_safe_revoke_slot(kel_safe* safe, size_t index);

/* The slots of the store's header, in order, as they were when
 * kel_slots_open ran. Nothing in it is secret. */
typedef struct kel_slots kel_slots;

/* Lists the slots into a new kel_slots at *out (NULL on failure) and
 * their number into *count (may be NULL). Needs the store opened by any
 * slot. */
KEL_C_EXPORT kel_status kel_slots_open(kel_safe* safe, kel_slots** out, size_t* count);
/* The number of slots; 0 for NULL. */
KEL_C_EXPORT size_t kel_slots_count(const kel_slots* slots);
/* Slot `i` (0 to count - 1) of the list. For a NULL list or an `i` out of
 * range each gives 0, KEL_SLOT_UNKNOWN or "". Texts are NUL-terminated and
 * valid until kel_slots_close. */
/* Its place in the header: what kel_safe_revoke_slot takes. */
KEL_C_EXPORT size_t kel_slots_index(const kel_slots* slots, size_t i);
KEL_C_EXPORT kel_slot_kind kel_slots_kind(const kel_slots* slots, size_t i);
KEL_C_EXPORT const char* kel_slots_label(const kel_slots* slots, size_t i);
/* When the slot was made, in Unix seconds. */
KEL_C_EXPORT int64_t kel_slots_created(const kel_slots* slots, size_t i);
/* The slot's public key text (for a recipient slot, the recipient's). */
KEL_C_EXPORT const char* kel_slots_public_key(const kel_slots* slots, size_t i);
/* 1 when the slot belongs to this store and its current key; 0 for a
 * damaged slot or one copied from elsewhere or from before a revocation,
 * which opens nothing and goes with the next rewrite of the header. */
KEL_C_EXPORT int kel_slots_intact(const kel_slots* slots, size_t i);
/* 1 when the handle opened the store through this slot. */
KEL_C_EXPORT int kel_slots_opened_here(const kel_slots* slots, size_t i);
/* Releases the list. NULL: nothing. */
KEL_C_EXPORT void kel_slots_close(kel_slots* slots);

#ifdef __cplusplus
}
#endif

#endif /* KEL_KEL_H */

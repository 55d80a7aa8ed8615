/* The C interface as a C11 program uses it, on stores the kel-safe tool
 * made (its default format and format 1): read what the tool wrote, write,
 * list, check; then the tool reads what this program wrote. Wrong
 * passwords, files that are no store and damaged stores give their
 * statuses; key slots of each kind open, list and revoke. Run by CTest;
 * prints every failed check and exits 1.
 *   c_api_test TOOL */
#define _POSIX_C_SOURCE 200809L
#include <kel/kel.h>

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int failures = 0;
#define CHECK(what)                                                        \
  do {                                                                     \
    if (!(what)) {                                                         \
      fprintf(stderr, "%s:%d: %s failed (%s)\n", __FILE__, __LINE__, #what, \
              current);                                                    \
      ++failures;                                                          \
    }                                                                      \
  } while (0)
#define STATUS(call, expected)                                                  \
  do {                                                                          \
    const kel_status got_ = (call);                                             \
    if (got_ != (expected)) {                                                   \
      fprintf(stderr, "%s:%d: %s gave %s, not %s (%s)\n", __FILE__, __LINE__,   \
              #call, kel_status_name(got_), kel_status_name(expected), current); \
      ++failures;                                                               \
    }                                                                           \
  } while (0)
#define NAME(text) text, sizeof text - 1

static const char* current = "setup";
static const char* tool;
static char dir[] = "/tmp/kel-c-api-XXXXXX";
static const char password[] = "Correct-Horse-42-Battery";
static const char new_password[] = "Battery-Staple-17-Horse!";

/* Runs the tool on `store` with the password file `pw`, standard input from
 * `input` (may be NULL); its standard output (up to `cap` bytes) into `out`
 * when not NULL. Returns the exit status, its output's length in *length. */
static int run_tool(const char* store, const char* pw, const char* args, const char* input,
                    char* out, size_t cap, size_t* length) {
  char command[1024];
  snprintf(command, sizeof command, "'%s' -q -s '%s/%s' --password-file '%s/%s' %s%s%s%s",
           tool, dir, store, dir, pw, args, input ? " <'" : "", input ? dir : "",
           input ? "/input'" : "");
  if (input != NULL) {
    char path[512];
    snprintf(path, sizeof path, "%s/input", dir);
    FILE* file = fopen(path, "w");
    fputs(input, file);
    fclose(file);
  }
  FILE* pipe = popen(command, "r");
  if (pipe == NULL) return -1;
  char discard[256];
  size_t total = 0, got;
  while ((got = fread(out ? out + total : discard, 1, out ? cap - total : sizeof discard,
                      pipe)) > 0) {
    if (out) total += got;
    if (out && total == cap) break;
  }
  if (length) *length = total;
  const int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

static void write_file(const char* name, const void* bytes, size_t length) {
  char path[512];
  snprintf(path, sizeof path, "%s/%s", dir, name);
  FILE* file = fopen(path, "w");
  fwrite(bytes, 1, length, file);
  fclose(file);
}

static void store_path(char* path, size_t size, const char* store) {
  snprintf(path, size, "%s/%s", dir, store);
}

/* What the tool reads as the value of `name` equals the bytes given. */
static int tool_reads(const char* store, const char* pw, const char* name, const void* value,
                      size_t length) {
  char args[300], out[8192];
  size_t got = 0;
  snprintf(args, sizeof args, "get '%s'", name);
  return run_tool(store, pw, args, NULL, out, sizeof out, &got) == 0 && got == length &&
         memcmp(out, value, length) == 0;
}

/* One store the tool made, in the format its create arguments choose. */
struct Case {
  const char* label;
  const char* store;
  const char* create;
  int format; /* expected; 0: whatever the tool's default is, at least 2 */
};

static void exercise(const struct Case* c) {
  current = c->label;
  char path[512];
  store_path(path, sizeof path, c->store);
  CHECK(run_tool(c->store, "pw", c->create, NULL, NULL, 0, NULL) == 0);
  CHECK(run_tool(c->store, "pw", "add tool-made", "from the tool", NULL, 0, NULL) == 0);

  kel_safe* safe = NULL;
  STATUS(kel_safe_open(&safe, path, NAME("Wrong-Horse-42-Battery")), KEL_WRONG_PASSWORD);
  CHECK(safe != NULL && strlen(kel_safe_error(safe)) > 0);
  kel_safe_close(safe);

  /* kel_safe_open in its two halves, with threads between them. */
  STATUS(kel_safe_new(&safe, path, NAME(password)), KEL_OK);
  STATUS(kel_safe_set_kdf_threads(safe, 2), KEL_OK);
  STATUS(kel_safe_set_scan_threads(safe, 2), KEL_OK);
  STATUS(kel_safe_verify(safe), KEL_OK);
  CHECK(strcmp(kel_safe_error(safe), "") == 0);
  int format = 0;
  STATUS(kel_safe_format(safe, &format), KEL_OK);
  CHECK(c->format ? format == c->format : format >= 2);

  /* The length first, then the value; a short buffer is left untouched. */
  char buffer[64] = "untouched";
  size_t length = 0;
  STATUS(kel_safe_get(safe, NAME("tool-made"), NULL, 0, &length), KEL_BUFFER_TOO_SMALL);
  CHECK(length == 13);
  STATUS(kel_safe_get(safe, NAME("tool-made"), buffer, 12, &length), KEL_BUFFER_TOO_SMALL);
  CHECK(length == 13 && strcmp(buffer, "untouched") == 0);
  STATUS(kel_safe_get(safe, NAME("tool-made"), buffer, sizeof buffer, &length), KEL_OK);
  CHECK(length == 13 && memcmp(buffer, "from the tool", 13) == 0);
  kel_secret* secret = NULL;
  STATUS(kel_safe_get_secret(safe, NAME("tool-made"), &secret), KEL_OK);
  CHECK(kel_secret_size(secret) == 13 && memcmp(kel_secret_data(secret), "from the tool", 13) == 0);
  kel_secret_free(secret);
  STATUS(kel_safe_get_secret(safe, NAME("absent"), &secret), KEL_NOT_FOUND);
  CHECK(secret == NULL);

  /* Values and names are bytes: a NUL inside each. */
  STATUS(kel_safe_add(safe, NAME("c\0made"), NAME("c\0value")), KEL_OK);
  STATUS(kel_safe_add(safe, NAME("c\0made"), NAME("other")), KEL_EXISTS);
  STATUS(kel_safe_add(safe, NAME(""), NAME("value")), KEL_INVALID_ARGUMENT);
  STATUS(kel_safe_add(safe, NAME("empty"), NAME("")), KEL_INVALID_ARGUMENT);
  STATUS(kel_safe_exists(safe, NAME("c\0made")), KEL_OK);
  STATUS(kel_safe_exists(safe, NAME("c")), KEL_NOT_FOUND);
  STATUS(kel_safe_get(safe, NAME("absent"), buffer, sizeof buffer, &length), KEL_NOT_FOUND);
  STATUS(kel_safe_replace(safe, NAME("tool-made"), NAME("replaced by C")), KEL_OK);
  STATUS(kel_safe_replace(safe, NAME("absent"), NAME("x")), KEL_NOT_FOUND);
  STATUS(kel_safe_rename(safe, NAME("c\0made"), NAME("c-renamed")), KEL_OK);
  STATUS(kel_safe_rename(safe, NAME("c-renamed"), NAME("tool-made")), KEL_EXISTS);
  STATUS(kel_safe_remove(safe, NAME("c\0made")), KEL_NOT_FOUND);
  write_file("value-file", "from a descriptor", 17);
  char value_path[512];
  store_path(value_path, sizeof value_path, "value-file");
  const int fd = open(value_path, O_RDONLY);
  STATUS(kel_safe_add_fd(safe, NAME("from-fd"), fd), KEL_OK);
  close(fd);
  STATUS(kel_safe_add(safe, NAME("doomed"), NAME("short-lived")), KEL_OK);
  STATUS(kel_safe_remove(safe, NAME("doomed")), KEL_OK);

  /* The listing: every name once, with its value's length. */
  kel_list* list = NULL;
  size_t count = 0, seen = 0;
  STATUS(kel_list_open(safe, &list, &count), KEL_OK);
  CHECK(count == 3);
  const unsigned char* name;
  size_t name_length;
  uint64_t value_length;
  while (kel_list_next(list, &name, &name_length, &value_length) == KEL_OK && name != NULL) {
    ++seen;
    CHECK((name_length == 9 && memcmp(name, "tool-made", 9) == 0 && value_length == 13) ||
          (name_length == 9 && memcmp(name, "c-renamed", 9) == 0 && value_length == 7) ||
          (name_length == 7 && memcmp(name, "from-fd", 7) == 0 && value_length == 17));
  }
  CHECK(seen == 3);
  kel_list_close(list);

  uint64_t intact = 0, damaged = 9;
  STATUS(kel_safe_check(safe, &intact, &damaged), KEL_OK);
  CHECK(intact == 3 && damaged == 0);
  kel_safe_close(safe);

  /* The tool reads what C wrote. */
  CHECK(tool_reads(c->store, "pw", "tool-made", "replaced by C", 13));
  CHECK(tool_reads(c->store, "pw", "c-renamed", "c\0value", 7));
  CHECK(tool_reads(c->store, "pw", "from-fd", "from a descriptor", 17));
}

/* A password change, and an upgrade of a format-1 store: the handle goes on
 * with the new password and the new file; the tool opens both. */
static void change_and_upgrade(void) {
  current = "password change and upgrade";
  char path[512];
  store_path(path, sizeof path, "legacy");
  kel_safe* safe = NULL;
  STATUS(kel_safe_open(&safe, path, NAME(password)), KEL_OK);
  STATUS(kel_safe_change_password(safe, NAME("Wrong-Horse-42-Battery"), NAME(new_password),
                                  NULL),
         KEL_WRONG_PASSWORD);
  STATUS(kel_safe_change_password(safe, NAME(password), NAME(new_password), NULL), KEL_OK);
  size_t length = 0;
  char buffer[64];
  STATUS(kel_safe_get(safe, NAME("c-renamed"), buffer, sizeof buffer, &length), KEL_OK);
  kel_store_options options;
  STATUS(kel_store_options_init(&options), KEL_OK);
  options.kdf_memory_kib = 19 * 1024;
  options.kdf_passes = 2;
  STATUS(kel_safe_upgrade(safe, NAME(password), &options), KEL_WRONG_PASSWORD);
  options.format = 1; /* never a silent upgrade to another format than asked */
  STATUS(kel_safe_upgrade(safe, NAME(new_password), &options), KEL_INVALID_ARGUMENT);
  options.format = 0;
  STATUS(kel_safe_upgrade(safe, NAME(new_password), &options), KEL_OK);
  int format = 0;
  STATUS(kel_safe_format(safe, &format), KEL_OK);
  CHECK(format == 3);
  STATUS(kel_safe_add(safe, NAME("after upgrade"), NAME("new file")), KEL_OK);
  STATUS(kel_safe_upgrade(safe, NAME(new_password), &options), KEL_INVALID_ARGUMENT);
  kel_safe_close(safe);
  CHECK(tool_reads("legacy", "new-pw", "after upgrade", "new file", 8));
  CHECK(tool_reads("legacy", "new-pw", "c-renamed", "c\0value", 7));

  /* A store C made, read by the tool; struct too small for any version. */
  store_path(path, sizeof path, "c-made");
  options.size = sizeof options.size;
  STATUS(kel_safe_create(&safe, path, NAME(password), &options), KEL_INVALID_ARGUMENT);
  kel_safe_close(safe);
  options.size = sizeof options;
  STATUS(kel_safe_create(&safe, path, NAME(password), &options), KEL_OK);
  STATUS(kel_safe_add(safe, NAME("made in C"), NAME("value")), KEL_OK);
  kel_safe_close(safe);
  STATUS(kel_safe_create(&safe, path, NAME(password), &options), KEL_EXISTS);
  kel_safe_close(safe);
  CHECK(tool_reads("c-made", "pw", "made in C", "value", 5));
}

/* Files that are no store, and a value damaged on disk. */
static void failures_on_disk(void) {
  current = "missing, foreign and damaged files";
  char path[512];
  kel_safe* safe = NULL;
  store_path(path, sizeof path, "missing");
  STATUS(kel_safe_open(&safe, path, NAME(password)), KEL_STORE_NOT_FOUND);
  kel_safe_close(safe);
  write_file("junk.safe", "not a store", 11);
  store_path(path, sizeof path, "junk");
  STATUS(kel_safe_open(&safe, path, NAME(password)), KEL_NOT_A_STORE);
  kel_safe_close(safe);
  STATUS(kel_safe_open(NULL, path, NAME(password)), KEL_INVALID_ARGUMENT);
  /* A handle whose making was refused says why, and refuses every call. */
  STATUS(kel_safe_open(&safe, NULL, NAME(password)), KEL_INVALID_ARGUMENT);
  CHECK(safe != NULL && strlen(kel_safe_error(safe)) > 0);
  STATUS(kel_safe_add(safe, NAME("name"), NAME("value")), KEL_INVALID_ARGUMENT);
  kel_safe_close(safe);
  STATUS(kel_safe_check(NULL, NULL, NULL), KEL_INVALID_ARGUMENT);

  /* A long value appended last: a byte in the middle of the file's last
   * kilobytes lies inside its sealed bytes. */
  store_path(path, sizeof path, "current");
  static char big[4096];
  memset(big, 'v', sizeof big);
  STATUS(kel_safe_open(&safe, path, NAME(password)), KEL_OK);
  STATUS(kel_safe_add(safe, NAME("big"), big, sizeof big), KEL_OK);
  kel_safe_close(safe);
  char file[600];
  snprintf(file, sizeof file, "%s.safe", path);
  const int fd = open(file, O_RDWR);
  struct stat info;
  CHECK(fd >= 0 && fstat(fd, &info) == 0);
  unsigned char byte;
  CHECK(pread(fd, &byte, 1, info.st_size - 2000) == 1);
  byte ^= 0x40;
  CHECK(pwrite(fd, &byte, 1, info.st_size - 2000) == 1);
  close(fd);
  STATUS(kel_safe_open(&safe, path, NAME(password)), KEL_OK);
  uint64_t intact = 0, damaged = 0;
  STATUS(kel_safe_check(safe, &intact, &damaged), KEL_DAMAGED);
  CHECK(intact == 3 && damaged == 1);
  size_t length = 0;
  STATUS(kel_safe_get(safe, NAME("big"), big, sizeof big, &length), KEL_DAMAGED);
  STATUS(kel_safe_get(safe, NAME("from-fd"), big, sizeof big, &length), KEL_OK);
  /* Cut inside its header under the open handle: damaged, never "not found". */
  CHECK(truncate(file, 140) == 0);
  STATUS(kel_safe_get(safe, NAME("from-fd"), big, sizeof big, &length), KEL_DAMAGED);
  kel_safe_close(safe);
}

/* Key slots: a recipient slot opened by its identity with no password, a
 * stranger's identity refused, a key-file slot that its password alone does
 * not open, the list, revocations, and the last slot kept. */
static void key_slots(void) {
  current = "key slots";
  char path[512], key_file[512];
  store_path(path, sizeof path, "slots");
  store_path(key_file, sizeof key_file, "key-file");
  write_file("key-file", "key file bytes", 14);
  kel_store_options options;
  STATUS(kel_store_options_init(&options), KEL_OK);
  options.kdf_memory_kib = 19 * 1024;
  options.kdf_passes = 2;
  options.kdf_lanes = 1;
  kel_safe* safe = NULL;
  STATUS(kel_safe_create(&safe, path, NAME(password), &options), KEL_OK);
  STATUS(kel_safe_add(safe, NAME("slotted"), NAME("value")), KEL_OK);

  kel_secret *identity = NULL, *stranger = NULL;
  char key[KEL_PUBLIC_KEY_CAPACITY], other[KEL_PUBLIC_KEY_CAPACITY], again[KEL_PUBLIC_KEY_CAPACITY];
  size_t key_length = 0, length = 0;
  STATUS(kel_generate_identity(&identity, key, 4, &key_length), KEL_BUFFER_TOO_SMALL);
  CHECK(identity == NULL && key_length > 4);
  STATUS(kel_generate_identity(&identity, key, sizeof key, &key_length), KEL_OK);
  STATUS(kel_generate_identity(&stranger, other, sizeof other, NULL), KEL_OK);
  CHECK(strlen(key) == key_length && strcmp(key, other) != 0);
  STATUS(kel_identity_public_key(kel_secret_data(identity), kel_secret_size(identity), again,
                                 sizeof again, &length),
         KEL_OK);
  CHECK(length == key_length && strcmp(again, key) == 0);
  STATUS(kel_identity_public_key(NAME("no identity"), again, sizeof again, &length),
         KEL_INVALID_ARGUMENT);
  STATUS(kel_check_public_key(key), KEL_OK);
  STATUS(kel_check_public_key("not a key"), KEL_INVALID_ARGUMENT);

  STATUS(kel_safe_grant_recipient(safe, key, "laptop"), KEL_OK);
  STATUS(kel_safe_grant_recipient(safe, key, "twice"), KEL_EXISTS);
  STATUS(kel_safe_grant_key_file(safe, NAME(new_password), key_file, NULL), KEL_OK);
  kel_safe_close(safe);

  /* The identity opens with no password; a stranger's does not. */
  STATUS(kel_safe_new(&safe, path, NULL, 0), KEL_OK);
  STATUS(kel_safe_use_identity(safe, kel_secret_data(stranger), kel_secret_size(stranger)),
         KEL_OK);
  STATUS(kel_safe_verify(safe), KEL_WRONG_PASSWORD);
  kel_safe_close(safe);
  STATUS(kel_safe_new(&safe, path, NULL, 0), KEL_OK);
  STATUS(kel_safe_use_identity(safe, NAME("garbage")), KEL_INVALID_ARGUMENT);
  STATUS(kel_safe_use_identity(safe, kel_secret_data(identity), kel_secret_size(identity)),
         KEL_OK);
  STATUS(kel_safe_verify(safe), KEL_OK);
  char buffer[16];
  STATUS(kel_safe_get(safe, NAME("slotted"), buffer, sizeof buffer, &length), KEL_OK);
  CHECK(length == 5 && memcmp(buffer, "value", 5) == 0);

  /* The key-file slot: its password alone is refused. */
  kel_safe* by_file = NULL;
  STATUS(kel_safe_open(&by_file, path, NAME(new_password)), KEL_WRONG_PASSWORD);
  kel_safe_close(by_file);
  STATUS(kel_safe_new(&by_file, path, NAME(new_password)), KEL_OK);
  STATUS(kel_safe_use_key_file(by_file, key_file), KEL_OK);
  STATUS(kel_safe_verify(by_file), KEL_OK);
  kel_safe_close(by_file);

  kel_slots* slots = NULL;
  size_t count = 0;
  STATUS(kel_slots_open(safe, &slots, &count), KEL_OK);
  CHECK(count == 3 && kel_slots_count(slots) == 3);
  CHECK(kel_slots_kind(slots, 0) == KEL_SLOT_PASSWORD &&
        kel_slots_kind(slots, 1) == KEL_SLOT_RECIPIENT &&
        kel_slots_kind(slots, 2) == KEL_SLOT_PASSWORD_AND_KEY_FILE);
  CHECK(strcmp(kel_slots_label(slots, 1), "laptop") == 0 &&
        strcmp(kel_slots_label(slots, 2), "") == 0 &&
        strcmp(kel_slots_public_key(slots, 1), key) == 0);
  CHECK(kel_slots_opened_here(slots, 1) && !kel_slots_opened_here(slots, 0));
  CHECK(kel_slots_intact(slots, 0) && kel_slots_intact(slots, 2));
  CHECK(kel_slots_index(slots, 2) == 2 && kel_slots_created(slots, 1) > 1700000000);
  CHECK(kel_slots_kind(slots, 3) == KEL_SLOT_UNKNOWN && strcmp(kel_slots_label(slots, 3), "") == 0);
  kel_slots_close(slots);

  /* Revoking the password slot: the password opens nothing any more, the
   * key file still does, and this handle goes on with the new key. */
  STATUS(kel_safe_revoke_slot(safe, 7), KEL_NOT_FOUND);
  STATUS(kel_safe_revoke_slot(safe, 0), KEL_OK);
  STATUS(kel_safe_get(safe, NAME("slotted"), buffer, sizeof buffer, &length), KEL_OK);
  STATUS(kel_safe_open(&by_file, path, NAME(password)), KEL_WRONG_PASSWORD);
  kel_safe_close(by_file);
  STATUS(kel_safe_new(&by_file, path, NAME(new_password)), KEL_OK);
  STATUS(kel_safe_use_key_file(by_file, key_file), KEL_OK);
  STATUS(kel_safe_verify(by_file), KEL_OK);
  kel_safe_close(by_file);
  STATUS(kel_slots_open(safe, &slots, &count), KEL_OK);
  CHECK(count == 2 && kel_slots_kind(slots, 0) == KEL_SLOT_RECIPIENT);
  kel_slots_close(slots);
  kel_safe_close(safe);
  /* The key file's handle revokes the identity's slot, then keeps its own. */
  STATUS(kel_safe_new(&safe, path, NAME(new_password)), KEL_OK);
  STATUS(kel_safe_use_key_file(safe, key_file), KEL_OK);
  STATUS(kel_safe_revoke_slot(safe, 0), KEL_OK);
  STATUS(kel_safe_revoke_slot(safe, 0), KEL_INVALID_ARGUMENT); /* never the last one */
  STATUS(kel_safe_get(safe, NAME("slotted"), buffer, sizeof buffer, &length), KEL_OK);
  kel_safe_close(safe);
  STATUS(kel_safe_new(&safe, path, NULL, 0), KEL_OK);
  STATUS(kel_safe_use_identity(safe, kel_secret_data(identity), kel_secret_size(identity)),
         KEL_OK);
  STATUS(kel_safe_verify(safe), KEL_WRONG_PASSWORD);
  kel_safe_close(safe);
  kel_secret_free(identity);
  kel_secret_free(stranger);
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: c_api_test TOOL\n");
    return 2;
  }
  tool = argv[1];
  umask(077);
  if (mkdtemp(dir) == NULL) return 2;
  char line[64];
  snprintf(line, sizeof line, "%s\n", password);
  write_file("pw", line, strlen(line));
  snprintf(line, sizeof line, "%s\n", new_password);
  write_file("new-pw", line, strlen(line));

  const struct Case cases[] = {
      {"the tool's default format", "current", "create --kdf-memory 19 --kdf-passes 2", 0},
      {"format 1", "legacy", "create --format 1", 1},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) exercise(&cases[i]);
  change_and_upgrade();
  failures_on_disk();
  key_slots();

  char command[600];
  snprintf(command, sizeof command, "rm -rf '%s'", dir);
  if (system(command) != 0) ++failures;
  return failures == 0 ? 0 : 1;
}

// Control of the I/O fault interposer (libkel-fault.so). The interposer wraps
// the C library's file calls for the one test executable that links it; the
// library under test has no hooks of its own. Only calls that touch a watched
// directory (by path, or through a descriptor opened below it) are counted,
// so the test harness's own output and temporary files are never disturbed.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

enum KelFaultCall {
  kelFaultOpen,       // open, open64, openat, openat64
  kelFaultRead,       // read, pread, pread64
  kelFaultWrite,      // write, pwrite, pwrite64
  kelFaultFsync,      // fsync
  kelFaultFdatasync,  // fdatasync
  kelFaultRename,     // rename, renameat, renameat2
  kelFaultLink,       // link, linkat
  kelFaultFtruncate,  // ftruncate, ftruncate64
  kelFaultLseek,      // lseek, lseek64
  kelFaultUnlink,     // unlink, unlinkat
  kelFaultStat,       // stat, lstat, fstat, fstatat and their 64-bit names
  kelFaultCopy,       // sendfile, sendfile64, copy_file_range
  kelFaultChmod,      // fchmod, chmod
  kelFaultLock,       // fcntl taking a record or descriptor lock (not unlocks)
  kelFaultKinds
};

// Watch everything below `dir` (an absolute path); NULL stops watching.
// Descriptors opened below it are remembered while they stay open.
void kel_fault_watch(const char* dir);
// Start (1) or stop (0) counting calls on watched paths and descriptors.
void kel_fault_count(int on);
// Zero every counter and disarm.
void kel_fault_reset(void);
// Make the nth counted call (1-based) of `kind` fail with `error`; other calls
// of that kind and all later calls go through. With KEL_FAULT_SHORT as the
// error, a read or write call instead transfers only half of what it was
// asked for (at least one byte), as signals and pipes can make it do.
#define KEL_FAULT_SHORT (-1)
void kel_fault_arm(int kind, long nth, int error);
long kel_fault_calls(int kind);
// Runs fn(arg) once, just before the nth counted call (1-based) of `kind`
// is carried out: a way to let "another process" act at an exact moment.
void kel_fault_before(int kind, long nth, void (*fn)(void*), void* arg);
// While on, stat results for watched files carry whole seconds only, as on
// file systems without sub-second timestamps (ext4 with 128-byte inodes,
// FAT, some network file systems).
void kel_fault_whole_seconds(int on);
// With KEL_FAULT_SKIP as the error, the armed call reports success without
// being carried out: a sync that never reaches the disk.
#define KEL_FAULT_SKIP (-2)
// While on, fsync and fdatasync on watched descriptors report success and do
// nothing: for checks that need no durability and must run fast.
void kel_fault_syncs_off(int on);
// While on, the process has no random source, as in a sandbox: getrandom
// fails with ENOSYS and /dev/urandom and /dev/random cannot be opened.
void kel_fault_no_randomness(int on);

// Recording: while on, every call that changes the watched directory is
// logged in call order, with the bytes it wrote, so that a test can rebuild
// what a power cut at any point may have left on the disk. Files are named
// by inode; names are relative to the watched directory.
enum KelRecordKind {
  kelRecordCreate,    // `name` made for `file` (open with O_CREAT)
  kelRecordWrite,     // `length` bytes of `data` at `offset` of `file`
  kelRecordTruncate,  // `file` cut or extended to `offset` bytes
  kelRecordSync,      // fsync or fdatasync of `file`
  kelRecordDirSync,   // fsync of the watched directory
  kelRecordRename,    // `name` renamed to `name2`
  kelRecordLink,      // `name2` made a second name of `name`
  kelRecordUnlink,    // `name` removed
  kelRecordKinds
};
struct KelRecord {
  int kind;
  unsigned long long file;
  long long offset;
  long long length;
  const unsigned char* data;
  char name[256];
  char name2[256];
};
// Turning recording on discards the previous log.
void kel_fault_record(int on);
long kel_fault_record_count(void);
const struct KelRecord* kel_fault_record_at(long i);

// How many failures were injected since the last reset.
long kel_fault_fired(void);
const char* kel_fault_name(int kind);

#ifdef __cplusplus
}
#endif

// The vocabulary of the fault-injection tests: the kinds of file call a
// faulty Env (robust/faulty_env.h) counts and fails, its special errors, and
// the kinds of call its recorder logs. Also the one control of the C library
// interposer (libkel-fault.so), which remains for what no Env sees.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

enum KelFaultCall {
  kelFaultOpen,       // open (and a directory listing)
  kelFaultRead,       // read, pread
  kelFaultWrite,      // write, pwrite
  kelFaultFsync,      // fsync
  kelFaultFdatasync,  // fdatasync
  kelFaultRename,     // rename, rename without replacing
  kelFaultLink,       // link
  kelFaultFtruncate,  // ftruncate
  kelFaultLseek,      // lseek
  kelFaultUnlink,     // unlink
  kelFaultStat,       // stat, lstat, fstat
  kelFaultCopy,       // copy_file_range
  kelFaultChmod,      // fchmod
  kelFaultLock,       // fcntl taking a record or descriptor lock (not unlocks)
  kelFaultKinds
};

// As the error of an armed call: a read or write transfers only half of
// what it was asked for (at least one byte), as signals and pipes can make
// it do.
#define KEL_FAULT_SHORT (-1)
// As the error of an armed call: the call reports success without being
// carried out: a sync that never reaches the disk.
#define KEL_FAULT_SKIP (-2)

// What the recorder logs, in call order. Files are named by inode; names
// are relative to the watched directory.
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

// The interposer: while on, the process has no random source, as in a
// sandbox: getrandom fails with ENOSYS and /dev/urandom and /dev/random
// cannot be opened. The crypto libraries reach these below the library's
// file-system seam, so only the C library's own entry points can take them
// away.
void kel_fault_no_randomness(int on);

#ifdef __cplusplus
}
#endif

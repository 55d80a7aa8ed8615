// Walking the records of a store file, reading around damage.
//
// A record is accepted at R with an N-byte name only when its whole fixed
// part lies in the file, its value_offset is R + N + 41 and its name
// authenticates under the store key. Where that fails, the walk searches
// forward for the next place where it holds again: every 8 bytes at X that
// read as X + 12 are the value_offset field of a candidate record, tried with
// every name length. Without the store key nobody can make a name
// authenticate, so a value (which is ciphertext) never passes for a record.
//
// One damaged byte therefore costs at most its own record:
//   - in a length byte, the record is found again at the same start with its
//     true length (the name is intact), and the byte is reported as damage;
//   - in a value_length, the record's end does not meet the next record; the
//     length is corrected from where the next record starts, when the value
//     then authenticates (or when the next record starts inside the claim).
//     A damaged length may also end exactly where a later record begins, or
//     at the end of the file, with whole records inside its claim: so the
//     bytes of every value (those that fit the read buffer; larger ones
//     where one flipped bit of the length would end them) are searched
//     for the value_offset field of a record (engine/records/record_pattern.h), and
//     a record found there is read around the same way;
//   - anywhere else in the fixed part, the walk resumes at the next record.
//
// A zero length byte is an append that never finished only when the rest of
// the file could be that one unfinished record: a record that authenticates
// there and reaches the end of the file, or bytes in which no record
// authenticates at all (a torn body; no record follows it). Any other zero
// byte is damage like any other, and writers never cut damage off.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/keyring/binding.h"
#include "engine/records/record_reader.h"

namespace kel::detail {

struct ScannedRecord {
  off_t start = 0;               // R
  unsigned name_length = 0;      // N, the length the name authenticated with
  std::int64_t value_offset = 0;
  std::uint32_t value_length = 0;
  bool length_byte_damaged = false;   // the byte at R is not N
  bool value_length_damaged = false;  // value_length was corrected
  std::int64_t claimed_end = 0;       // end() by the value_length as read
  std::int64_t end() const;           // one past the record's last byte
};

struct ScannedDamage {
  off_t offset = 0;
  off_t length = 0;
  const char* what = "";
  // Inside a record that was found all the same (its length byte or its
  // value_length): the record is handed on, mended.
  bool mended = false;
};

// Why the walk ended where it did (ScanRecords::end()).
enum class ScanStop {
  end_of_file,         // every byte up to the size is accounted for
  interrupted_append,  // at an unfinished append, which writers may cut off
  newer_append,        // at a record appended after the size was taken
  value_cut_short,     // the last record claims bytes beyond the file
};

class RecordScan {
 public:
  using RecordSink =
      std::function<void(const ScannedRecord&, const std::string& name)>;
  using DamageSink = std::function<void(const ScannedDamage&)>;

  // Walks the records of `fd` below `size` under the 32-byte store `key`
  // (which must outlive the scan), names and values bound as `binding`
  // says. Names are handed on in plain form in a buffer the scan wipes.
  RecordScan(int fd, off_t size, const unsigned char* key, const Binding& binding);
  RecordScan(const RecordScan&) = delete;
  RecordScan& operator=(const RecordScan&) = delete;
  ~RecordScan();

  // Hands every record and every damaged stretch to the sinks, in file
  // order. Returns 0, or -1 with errno set when the file cannot be read.
  // After pause() (called from a sink) it returns 0 before it reads the
  // next record, with finished() false; the next run() goes on from there
  // exactly as if it had never stopped. After -1 the scan is of no use.
  int run(const RecordSink& on_record, const DamageSink& on_damage);
  void pause() { pause_ = true; }
  bool started() const { return started_; }
  bool finished() const { return finished_; }
  // How far into the file the scan has read.
  off_t reached() const { return at_; }
  // The key for the rest of the scan (the same store key, which the caller
  // may hold in another buffer each time it runs the scan on). The scan
  // keeps no copy of it: a scan that waits between runs holds no key.
  void set_key(const unsigned char* key) { key_ = key; }
  // Where the records end and why; valid after run() returned 0.
  off_t end() const { return end_; }
  ScanStop stop() const { return stop_; }
  // The furthest claimed_end of the records handed on; valid after run().
  off_t claims_end() const { return claims_end_; }
  // When the walk stopped at an unfinished append that is a whole record
  // (name and value authenticate, it ends the file) missing only its first
  // byte: the name length it authenticated with; otherwise 0.
  unsigned unfinished_name_length() const { return unfinished_name_length_; }

  // What the names and values of this file are bound to.
  const Binding& binding() const { return binding_; }

  // Whether the V bytes at `value_offset` (cipher, then nonce and tag)
  // authenticate as the value of `name`. -1 on a read error.
  int value_authenticates(std::int64_t value_offset, std::uint64_t length,
                          const std::string& name);

 private:
  struct Pending {
    ScannedRecord record;
    std::string name;
  };
  int record_at(off_t at, unsigned n, ScannedRecord& record);
  int record_at_any_length(off_t at, ScannedRecord& record);
  int find_next(off_t from, ScannedRecord& record);
  int candidates_at(off_t field, off_t from, ScannedRecord& record);
  int unfinished_append_at(off_t at);
  int read_around(off_t at, off_t& resume, const RecordSink& on_record,
                  const DamageSink& on_damage);
  int hides_record(const ScannedRecord& record);
  int hides_behind_flipped_bit(const ScannedRecord& record);
  int read_hidden(off_t& at, const RecordSink& on_record, const DamageSink& on_damage);
  off_t search_from(off_t at) const;
  void flush(const RecordSink& on_record);
  bool grew_past(off_t end) const;

  int fd_;
  off_t size_;
  const unsigned char* key_;
  Binding binding_;
  RecordReader reader_;
  std::vector<unsigned char> fixed_;
  std::string name_;
  std::optional<Pending> pending_;
  const char* failure_ = "";
  off_t at_ = 0;
  bool started_ = false;
  bool pause_ = false;
  bool finished_ = false;
  off_t end_ = 0;
  off_t claims_end_ = 0;
  unsigned unfinished_name_length_ = 0;
  ScanStop stop_ = ScanStop::end_of_file;
};

}  // namespace kel::detail

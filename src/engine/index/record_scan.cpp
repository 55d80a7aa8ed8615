#include "env/env.h"
#include "engine/index/record_scan.h"

#include <errno.h>
#include <sys/stat.h>

#include <algorithm>

#include "crypto/aead_stream.h"
#include "crypto/name_open.h"
#include "engine/records/format.h"
#include "engine/records/record_codec.h"
#include "engine/file/io.h"
#include "engine/records/record_pattern.h"
#include "store/secret.h"

namespace kel::detail {

namespace {

constexpr std::size_t kSearchBlock = 64 * 1024;
constexpr std::size_t kValuePiece = 256 * 1024;

const char* const kNameFails = "record name does not authenticate";
const char* const kOffsetWrong = "record value_offset does not match its start";
const char* const kPastEnd = "record runs past the end of the file";
const char* const kZeroLength = "zero length byte inside the records";
const char* const kLengthByte = "record length byte";
const char* const kValueLength = "record value_length";
const char* const kCutShort = "record cut short, completed by a later record";
const char* const kFileCut =
    "the file ends inside this record's fixed part: it was cut short, and an entry is lost";

}  // namespace

std::int64_t ScannedRecord::end() const {
  return value_offset + codec::value_part_size(value_length);
}

namespace {

// Buffers no larger than the file: most stores are small, and a scan runs
// on every open.
std::size_t buffer_for(off_t size, std::size_t most) {
  const std::size_t least = 4096;
  if (size <= static_cast<off_t>(least)) return least;
  return size < static_cast<off_t>(most) ? static_cast<std::size_t>(size) : most;
}

}  // namespace

RecordScan::RecordScan(int fd, off_t size, const unsigned char* key, const Binding& binding)
    : fd_(fd),
      size_(size),
      key_(key),
      binding_(binding),
      reader_(fd, buffer_for(size, 256 * 1024)) {}

RecordScan::~RecordScan() {
  wipe(name_.data(), name_.size());
  if (pending_) wipe(pending_->name.data(), pending_->name.size());
}

bool RecordScan::grew_past(off_t end) const {
  struct stat now {};
  return detail::env().fstat(fd_, &now) == 0 && now.st_size >= end;
}

int RecordScan::record_at(off_t at, unsigned n, ScannedRecord& record) {
  const long fixed = codec::fixed_part_size(static_cast<long>(n));
  if (at < binding_.records_start || at + fixed > size_) {
    failure_ = kPastEnd;
    return 0;
  }
  fixed_.resize(static_cast<std::size_t>(fixed));
  ssize_t got = reader_.read(at, fixed_.data(), fixed_.size());
  if (got < 0) return -1;
  if (static_cast<std::size_t>(got) != fixed_.size()) {  // the file shrank
    failure_ = kPastEnd;
    return 0;
  }
  const std::int64_t value_offset =
      codec::get_value_offset(fixed_.data(), n);
  if (value_offset != codec::value_at(at, n)) {
    failure_ = kOffsetWrong;
    return 0;
  }
  // Format 3 binds the name to its value's tag: read it where this
  // record's own value_length puts it. A damaged length misplaces it, and
  // the record is then lost like one with a damaged name.
  unsigned char value_tag[format::kTagSize] = {};
  if (binding_.needs_value_tag()) {
    const std::int64_t tag_at = value_offset + static_cast<std::int64_t>(codec::value_tag_at(
                                                   codec::get_value_length(fixed_.data(), n)));
    if (tag_at + static_cast<std::int64_t>(sizeof value_tag) > size_) {
      failure_ = kPastEnd;
      return 0;
    }
    got = reader_.read(tag_at, value_tag, sizeof value_tag);
    if (got < 0) return -1;
    if (static_cast<std::size_t>(got) != sizeof value_tag) {
      failure_ = kPastEnd;
      return 0;
    }
  }
  name_.resize(n);
  auto* plain = reinterpret_cast<unsigned char*>(name_.data());
  const unsigned char* nonce = fixed_.data() + codec::name_nonce_at(n);
  const unsigned char* tag = fixed_.data() + codec::name_tag_at(n);
  if (!crypto::open_name(key_, nonce, tag, fixed_.data() + codec::name_cipher_at(), n,
                         plain, binding_.name_ad(at, value_tag).view())) {
    failure_ = kNameFails;
    return 0;
  }
  record = ScannedRecord();
  record.start = at;
  record.name_length = n;
  record.value_offset = value_offset;
  record.value_length = codec::get_value_length(fixed_.data(), n);
  record.length_byte_damaged = fixed_[0] != n;
  record.claimed_end = record.end();
  return 1;
}

int RecordScan::record_at_any_length(off_t at, ScannedRecord& record) {
  const char* failure = failure_;
  for (unsigned n = 1; n <= format::kMaxNameLength; ++n) {
    if (at + codec::fixed_part_size(static_cast<long>(n)) > size_) break;
    int found = record_at(at, n, record);
    if (found != 0) return found;
  }
  failure_ = failure;
  return 0;
}

// The value_offset field at `field` holds field + 12: try every record start
// that puts it there, the one whose length byte agrees first.
int RecordScan::candidates_at(off_t field, off_t from, ScannedRecord& record) {
  const off_t lowest = std::max<off_t>(from, binding_.records_start);
  for (int pass = 0; pass < 2; ++pass) {
    for (unsigned n = 1; n <= format::kMaxNameLength; ++n) {
      const off_t start = field - codec::value_offset_at(static_cast<long>(n));
      if (start < lowest) break;
      unsigned char length_byte = 0;
      if (reader_.read(start, &length_byte, 1) < 0) return -1;
      if ((length_byte == n) != (pass == 0)) continue;
      int found = record_at(start, n, record);
      if (found != 0) return found;
    }
  }
  return 0;
}

int RecordScan::find_next(off_t from, ScannedRecord& record) {
  // The lowest field position belongs to a 1-byte name starting at `from`.
  off_t base = from + codec::value_offset_at(1);
  if (base + 12 > size_) return 0;
  std::vector<unsigned char> block(buffer_for(size_ - base, kSearchBlock) + 7);
  while (base + 12 <= size_) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<off_t>(block.size(), size_ - base));
    ssize_t got = io::pread_full(fd_, block.data(), want, base);
    if (got < 0) return -1;
    if (got < 8) break;
    const std::size_t last = static_cast<std::size_t>(got) - 8;
    for (std::size_t i = 0; i <= last; ++i) {
      const off_t field = base + static_cast<off_t>(i);
      if (field + 12 > size_) break;
      // The low byte first: it rules out almost every position cheaply.
      if (block[i] != static_cast<unsigned char>(field + codec::kFieldToValue) ||
          format::get_i64(block.data() + i) != field + codec::kFieldToValue) {
        continue;
      }
      int found = candidates_at(field, from, record);
      if (found != 0) return found;
    }
    base += static_cast<off_t>(last) + 1;
  }
  return 0;
}

int RecordScan::unfinished_append_at(off_t at) {
  ScannedRecord record;
  int found = record_at_any_length(at, record);
  if (found < 0) return -1;
  if (found == 1 && record.end() < size_) return 0;
  if (found == 0) failure_ = kZeroLength;
  unsigned whole = 0;
  if (found == 1 && record.end() == size_) {
    const int holds = value_authenticates(record.value_offset, record.value_length, name_);
    if (holds < 0) return -1;
    if (holds == 1) whole = record.name_length;
  }
  // An append whose first byte was never written (its body may be torn),
  // or damage. An unfinished append is the last thing in the file and
  // starts where the last record ends, so a record found anywhere else
  // after the previous one's start makes this zero damage: one after it,
  // or one inside the previous record's claimed value, which would mean
  // that a damaged value_length led here.
  ScannedRecord other;
  found = find_next(search_from(at), other);
  if (found < 0) return -1;
  if (found == 1 && other.start != at) return 0;
  unfinished_name_length_ = whole;
  return 1;
}

int RecordScan::value_authenticates(std::int64_t value_offset, std::uint64_t length,
                                    const std::string& name) {
  if (length == 0 || value_offset < binding_.records_start ||
      value_offset + codec::value_part_size(static_cast<long long>(length)) > size_) {
    return 0;
  }
  unsigned char trailer[format::kNonceSize + format::kTagSize];
  ssize_t got = io::pread_full(fd_, trailer, sizeof trailer,
                               value_offset + static_cast<off_t>(length));
  if (got < 0) return -1;
  crypto::AeadStream opener;
  if (got != sizeof trailer ||
      !opener.begin(key_, trailer, false, trailer + format::kNonceSize,
                    binding_.value_ad(name))) {
    return 0;
  }
  const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(kValuePiece, length));
  std::vector<unsigned char> sealed(piece);
  SecretBuffer plain(piece);
  for (std::uint64_t done = 0; done < length;) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(piece, length - done));
    got = io::pread_full(fd_, sealed.data(), want, value_offset + static_cast<off_t>(done));
    if (got < 0) return -1;
    if (static_cast<std::size_t>(got) != want ||
        !opener.update(sealed.data(), want, plain.data())) {
      return 0;
    }
    done += want;
  }
  return opener.finish() ? 1 : 0;
}

// Where to look for the record after damage at `at`. The previous record is
// one of the suspects: its value_length may have jumped over records, and
// its own fixed part may be the torn end of a truncated file, completed by
// the bytes of a record appended later. So the search starts just after the
// previous record's start; no record can authenticate inside its fields by
// chance, since that takes the store key.
off_t RecordScan::search_from(off_t at) const {
  return pending_ ? pending_->record.start + 1 : at;
}

void RecordScan::flush(const RecordSink& on_record) {
  if (!pending_) return;
  claims_end_ = std::max<off_t>(claims_end_, static_cast<off_t>(pending_->record.claimed_end));
  on_record(pending_->record, pending_->name);
  wipe(pending_->name.data(), pending_->name.size());
  pending_.reset();
}

// Damage begins at `at`: the record there failed, or the previous record's
// claimed end lies beyond the file. Reports the damage, corrects the
// previous record's value_length where that is what was damaged, and sets
// `resume` to the next record's start (the size when there is none).
int RecordScan::read_around(off_t at, off_t& resume, const RecordSink& on_record,
                            const DamageSink& on_damage) {
  const char* what = failure_;
  ScannedRecord next;
  int found = find_next(search_from(at), next);
  if (found < 0) return -1;
  const off_t until = found == 1 ? next.start : size_;
  if (pending_ && found == 1 && until < pending_->record.value_offset) {
    // A record begins inside the previous one's fixed part. The previous
    // one was cut short (a file truncated there) and whatever came after
    // completed its fields: it is damage, and the later record is real.
    on_damage({pending_->record.start, until - pending_->record.start, kCutShort});
    wipe(pending_->name.data(), pending_->name.size());
    pending_.reset();
    what = nullptr;
  }
  if (pending_) {
    ScannedRecord& previous = pending_->record;
    const long long corrected =
        static_cast<long long>(until) - previous.value_offset -
        static_cast<long long>(codec::kValueTrailerSize);
    const bool fits = corrected >= 1 &&
                      corrected <= static_cast<long long>(format::kMaxValueLength);
    bool length_wrong = false;
    if (found == 1 && until < at) {
      length_wrong = true;  // a record starts inside the claimed value
    } else if (fits && until > at && at <= size_) {
      int holds = value_authenticates(previous.value_offset,
                                      static_cast<std::uint64_t>(corrected), pending_->name);
      if (holds < 0) return -1;
      length_wrong = holds == 1;
    }
    if (length_wrong) {
      on_damage({static_cast<off_t>(previous.value_offset) - codec::kValueLengthSize,
                 codec::kValueLengthSize, kValueLength, true});
      if (fits) {
        previous.value_length = static_cast<std::uint32_t>(corrected);
        previous.value_length_damaged = true;
      }
      flush(on_record);
      what = nullptr;  // the bytes up to `until` belong to that value
    }
  }
  flush(on_record);
  // A record whose fixed part the end of the file cuts, with no record after
  // it, is not an unfinished append (its first byte was written, and an
  // append writes that byte last): the file lost its end.
  if (what == kPastEnd && found == 0) what = kFileCut;
  if (what != nullptr && until > at) {
    on_damage({at, until - at, what});
  } else if (what != nullptr && until == at && found == 1) {
    on_damage({at, 1, kLengthByte, true});
  }
  if (found == 1) {
    pending_ = Pending{next, name_};
    resume = static_cast<off_t>(next.end());
  } else {
    resume = size_;
  }
  return 0;
}

// Whether a record that authenticates begins inside the value part that
// `record` claims. Its true value has at least one byte, so such a record
// starts 29 bytes or more into the claim, and its fixed part lies inside it.
// A value part larger than the read buffer is only probed where a flipped
// bit of its length would have ended it: reading every large value would
// make each open cost the size of the store.
int RecordScan::hides_record(const ScannedRecord& record) {
  const std::int64_t claim = codec::value_part_size(record.value_length);
  const long least_field = codec::value_part_size(1) + codec::value_offset_at(1);
  if (record.end() > size_ || claim < least_field + codec::kFieldToValue) return 0;
  const off_t from = static_cast<off_t>(record.value_offset);
  const unsigned char* bytes = reader_.view(from, static_cast<std::size_t>(claim));
  if (bytes == nullptr) return errno != 0 ? -1 : hides_behind_flipped_bit(record);
  // The field's record ends its fixed part 12 bytes after the field, inside
  // the claim.
  const std::size_t searched = static_cast<std::size_t>(claim) - codec::kValueLengthSize;
  const char* failure = failure_;
  std::size_t next = static_cast<std::size_t>(least_field);
  for (;;) {
    const long field = find_value_offset_field(bytes, searched, from, next, size_);
    if (field < 0) break;
    ScannedRecord hidden;
    const int found = candidates_at(from + field, from + codec::value_part_size(1), hidden);
    if (found != 0) {
      failure_ = failure;
      return found;
    }
    // candidates_at read inside the claim, which the buffer holds still.
    bytes = reader_.view(from, static_cast<std::size_t>(claim));
    if (bytes == nullptr) return errno != 0 ? -1 : 0;
    next = static_cast<std::size_t>(field) + 1;
  }
  failure_ = failure;
  return 0;
}

// A value part too large to search whole: only where one bit flipped in
// its value_length would have made it end.
int RecordScan::hides_behind_flipped_bit(const ScannedRecord& record) {
  std::vector<std::pair<off_t, unsigned>> starts;
  if (flipped_length_starts(fd_, record.value_offset, record.value_length, size_, starts) != 0) {
    return -1;
  }
  const char* failure = failure_;
  for (const auto& [start, n] : starts) {
    ScannedRecord hidden;
    const int found = record_at(start, n, hidden);
    if (found != 0) {
      failure_ = failure;
      return found;
    }
  }
  failure_ = failure;
  return 0;
}

// The record pending at `at` (where its claim ends) hides records: its
// value_length is what was damaged, and the walk reads around it, from the
// records inside its claim on. Each record found that way is searched too.
int RecordScan::read_hidden(off_t& at, const RecordSink& on_record,
                            const DamageSink& on_damage) {
  while (pending_ && at == static_cast<off_t>(pending_->record.end())) {
    const int hidden = hides_record(pending_->record);
    if (hidden <= 0) return hidden;
    failure_ = kValueLength;
    if (read_around(at, at, on_record, on_damage) != 0) return -1;
  }
  return 0;
}

int RecordScan::run(const RecordSink& on_record, const DamageSink& on_damage) {
  if (!started_) {
    at_ = static_cast<off_t>(binding_.records_start);
    claims_end_ = at_;
    unfinished_name_length_ = 0;
    stop_ = ScanStop::end_of_file;
    started_ = true;
  } else {
    // A scan that waited may have held bytes another process has changed
    // since: the zero first byte of an append that has now completed,
    // within the same tick of the file's clock, so that nothing else tells.
    reader_.forget();
  }
  pause_ = false;
  // Every record before `at` has been handed on, but the one still pending.
  off_t& at = at_;
  for (;;) {
    if (pause_) return 0;
    if (at >= size_) {
      // The last record claims bytes beyond the file: a file cut short in
      // that value, or a damaged value_length hiding records after it.
      if (at > size_ && pending_) {
        ScannedRecord next;
        int found = find_next(search_from(at), next);
        if (found < 0) return -1;
        if (found == 1) {
          if (read_around(at, at, on_record, on_damage) != 0) return -1;
          continue;
        }
        stop_ = ScanStop::value_cut_short;
      }
      break;
    }
    unsigned char n = 0;
    ssize_t got = reader_.read(at, &n, 1);
    if (got < 0) return -1;
    if (got == 0) break;  // the file shrank under the scan
    ScannedRecord record;
    if (n != 0) {
      const off_t fixed_end = at + codec::fixed_part_size(n);
      // An append another process finished after the size was taken is
      // newer than this scan, not damage: stop before it.
      if (fixed_end > size_ && grew_past(fixed_end)) {
        stop_ = ScanStop::newer_append;
        break;
      }
      int found = record_at(at, n, record);
      if (found < 0) return -1;
      if (found == 1) {
        flush(on_record);
        pending_ = Pending{record, name_};
        at = static_cast<off_t>(record.end());
        if (read_hidden(at, on_record, on_damage) != 0) return -1;
        continue;
      }
    } else {
      int unfinished = unfinished_append_at(at);
      if (unfinished < 0) return -1;
      if (unfinished == 1) {
        stop_ = ScanStop::interrupted_append;
        break;
      }
    }
    if (read_around(at, at, on_record, on_damage) != 0) return -1;
    if (read_hidden(at, on_record, on_damage) != 0) return -1;
  }
  flush(on_record);
  end_ = at;
  finished_ = true;
  return 0;
}

}  // namespace kel::detail

// Which format a store file has, read from its header without a password.
#include <errno.h>

#include <cstring>

#include "password/store_formats.h"
#include "kel/store.h"
#include "engine/keyring/binding.h"
#include "engine/records/format.h"
#include "engine/keyring/header_reader.h"
#include "engine/keyring/header_v2.h"
#include "engine/keyring/header_v3.h"
#include "engine/file/io.h"
#include "store/status_note.h"

namespace kel {

int detail::format_info(Store& store, FormatInfo& info, std::string& text) {
  bool read_only_file = false;
  io::UniqueFd fd(io::open_store_file(store.file_path, read_only_file));
  if (!fd.valid()) {
    text = detail::open_failure("Could not open store: " + store.file_path + " - ", store.file_path, errno);
    return -1;
  }
  if (detail::check_store_shape(fd.get(), store.file_path, text) != 0) return -1;
  // Without waiting for a writer: two reads that agree were not caught
  // half way through a password change's rewrite of the header; only when
  // they differ is it read again under the shared lock.
  unsigned char header[format::kHeaderSize];
  unsigned char again[format::kHeaderSize];
  const bool steady = detail::read_header_bytes(fd.get(), header, false) == 0 &&
                      detail::read_header_bytes(fd.get(), again, false) == 0 &&
                      std::memcmp(header, again, sizeof header) == 0;
  if (!steady && detail::read_header_bytes(fd.get(), header) != 0) {
    text = "Could not read store header - " + io::error_text(errno);
    return -1;
  }
  info = FormatInfo();
  if (detail::is_version3_header(header)) {
    // The parameters of the first password slot, within the bounds.
    std::vector<unsigned char> whole;
    std::vector<detail::SlotFrame> slots;
    if (detail::read_v3_header(fd.get(), whole, true, text) != 0 ||
        detail::parse_v3_header(whole, slots, text) != 0) {
      return -1;
    }
    info.version = 3;
    for (const detail::SlotFrame& slot : slots) {
      if (slot.kind != format::v3::kPasswordSlot) continue;
      const detail::KdfParams params = detail::v3_slot_params(whole, slot);
      if (detail::check_kdf_params(params, text) != 0) {
        detail::fail(text, Status::damaged,
                     "Store header damaged: its key derivation parameters are out of "
                     "range: " + detail::kdf_params_problem(params));
        return -1;
      }
      info.kdf_memory_kib = params.memory_kib;
      info.kdf_passes = params.passes;
      info.kdf_lanes = params.lanes;
      break;
    }
    return 0;
  }
  if (!detail::is_version2_header(header)) {
    const std::string unknown = detail::unknown_version(header, store.file_path);
    if (!unknown.empty()) {
      detail::fail(text, Status::not_a_store, unknown);
      return -1;
    }
    info.version = 1;
    return 0;
  }
  // Reported only within the bounds every reader keeps: out of them the
  // header is damaged, and a caller that derived with them could be made to
  // claim any amount of memory and hours of work.
  if (detail::check_header_kdf_params(header, text) != 0) return -1;
  info.version = 2;
  info.kdf_memory_kib = format::get_u32(header + format::kV2MemoryOffset);
  info.kdf_passes = format::get_u32(header + format::kV2PassesOffset);
  info.kdf_lanes = format::get_u32(header + format::kV2LanesOffset);
  return 0;
}

}  // namespace kel

#include "robust/crash_states.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <set>
#include <sstream>

#include "robust/fault_control.h"
#include "support/test_support.h"

namespace kel::robust {

namespace {

constexpr long long kSector = 512;

bool is_sync(int kind) { return kind == kelRecordSync || kind == kelRecordDirSync; }
bool is_name_change(int kind) {
  return kind == kelRecordCreate || kind == kelRecordRename ||
         kind == kelRecordLink || kind == kelRecordUnlink;
}

// Which file (numbered from 0: first the files of the image, then each file
// made during the recording) every logged call concerns.
struct Files {
  std::vector<int> of_call;
  std::vector<std::string> initial;              // bytes, by file number
  std::map<std::string, int> initial_names;
};

Files number_files(const DirectoryImage& before, const std::vector<LoggedCall>& log) {
  Files files;
  std::map<unsigned long long, int> by_inode;
  std::map<std::string, int> names;
  for (const auto& [name, file] : before.files) {
    const int number = static_cast<int>(files.initial.size());
    files.initial.push_back(file.bytes);
    by_inode[file.inode] = number;
    names[name] = number;
  }
  files.initial_names = names;
  std::vector<unsigned long long> inode_of(files.initial.size());
  for (const auto& [inode, number] : by_inode) inode_of[number] = inode;
  auto fresh = [&](unsigned long long inode) {
    const int number = static_cast<int>(files.initial.size());
    files.initial.emplace_back();
    inode_of.push_back(inode);
    by_inode[inode] = number;
    return number;
  };
  for (const LoggedCall& call : log) {
    int number = -1;
    switch (call.kind) {
      case kelRecordCreate: {
        auto named = names.find(call.name);
        number = named != names.end() && inode_of[named->second] == call.file
                     ? named->second
                     : fresh(call.file);
        names[call.name] = number;
        break;
      }
      case kelRecordWrite:
      case kelRecordTruncate:
      case kelRecordSync: {
        auto known = by_inode.find(call.file);
        number = known != by_inode.end() ? known->second : fresh(call.file);
        break;
      }
      case kelRecordRename:
        if (names.count(call.name) != 0 && names[call.name] != names[call.name2]) {
          names[call.name2] = names[call.name];
          names.erase(call.name);
        }
        break;
      case kelRecordLink:
        if (names.count(call.name) != 0) names[call.name2] = names[call.name];
        break;
      case kelRecordUnlink:
        names.erase(call.name);
        break;
      default:
        break;
    }
    files.of_call.push_back(number);
  }
  return files;
}

// Whether call i (before `point`) is covered by a sync made before `point`.
std::vector<bool> synced_before(const std::vector<LoggedCall>& log,
                                const Files& files, std::size_t point) {
  std::map<int, std::size_t> last_sync;
  std::size_t last_dir_sync = 0;
  bool dir_synced = false;
  for (std::size_t i = 0; i < point; ++i) {
    if (log[i].kind == kelRecordSync) last_sync[files.of_call[i]] = i;
    if (log[i].kind == kelRecordDirSync) {
      last_dir_sync = i;
      dir_synced = true;
    }
  }
  std::vector<bool> synced(point, false);
  for (std::size_t i = 0; i < point; ++i) {
    if (is_sync(log[i].kind)) {
      synced[i] = true;
    } else if (is_name_change(log[i].kind)) {
      synced[i] = dir_synced && i < last_dir_sync;
    } else {
      auto found = last_sync.find(files.of_call[i]);
      synced[i] = found != last_sync.end() && i < found->second;
    }
  }
  return synced;
}

// The 512-byte boundaries strictly inside a write, as counts of its bytes.
std::vector<std::size_t> tear_points(const LoggedCall& call) {
  std::vector<std::size_t> points;
  const long long end = call.offset + static_cast<long long>(call.data.size());
  for (long long at = (call.offset / kSector + 1) * kSector; at < end; at += kSector) {
    points.push_back(static_cast<std::size_t>(at - call.offset));
  }
  return points;
}

// Per file, its last write before `point` when that write is not synced.
std::vector<std::size_t> tearable_writes(const std::vector<LoggedCall>& log,
                                         const Files& files, std::size_t point,
                                         const std::vector<bool>& synced) {
  std::map<int, std::size_t> last_write;
  for (std::size_t i = 0; i < point; ++i) {
    if (log[i].kind == kelRecordWrite) last_write[files.of_call[i]] = i;
  }
  std::vector<std::size_t> out;
  for (const auto& [file, at] : last_write) {
    if (!synced[at] && !tear_points(log[at]).empty()) out.push_back(at);
  }
  return out;
}

}  // namespace

DirectoryImage image_of_directory(const std::string& dir) {
  DirectoryImage image;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (!entry.is_regular_file()) continue;
    struct stat status {};
    ::stat(entry.path().c_str(), &status);
    image.files[entry.path().filename().string()] = {
        status.st_ino, kel::test::read_file(entry.path().string())};
  }
  return image;
}

std::vector<CrashState> crash_states(const std::vector<LoggedCall>& log,
                                     std::size_t budget, std::uint64_t seed) {
  const Files files = number_files({}, log);
  struct Point {
    std::vector<std::size_t> unsynced, tearable;
  };
  std::vector<Point> points(log.size() + 1);
  double total = 0;
  for (std::size_t k = 0; k <= log.size(); ++k) {
    const std::vector<bool> synced = synced_before(log, files, k);
    for (std::size_t i = 0; i < k; ++i) {
      if (!synced[i]) points[k].unsynced.push_back(i);
    }
    points[k].tearable = tearable_writes(log, files, k, synced);
    double tears = 1;
    for (std::size_t w : points[k].tearable) tears += static_cast<double>(tear_points(log[w]).size());
    total += static_cast<double>(1ULL << std::min<std::size_t>(points[k].unsynced.size(), 40)) * tears;
  }

  std::vector<CrashState> states;
  std::set<std::string> seen;
  auto add = [&](CrashState state) {
    if (states.size() < budget && seen.insert(describe(state)).second) {
      states.push_back(std::move(state));
    }
  };
  auto subset = [&](std::size_t k, std::uint64_t mask) {
    CrashState state;
    state.point = k;
    for (std::size_t j = 0; j < points[k].unsynced.size(); ++j) {
      if (mask == ~0ULL || ((mask >> j) & 1)) state.applied.push_back(points[k].unsynced[j]);
    }
    return state;
  };
  auto applied = [](const CrashState& state, std::size_t call) {
    return std::binary_search(state.applied.begin(), state.applied.end(), call);
  };

  if (total <= static_cast<double>(budget)) {
    for (std::size_t k = 0; k <= log.size(); ++k) {
      const std::uint64_t subsets = 1ULL << points[k].unsynced.size();
      for (std::uint64_t mask = 0; mask < subsets; ++mask) {
        CrashState state = subset(k, mask);
        add(state);
        for (std::size_t w : points[k].tearable) {
          if (!applied(state, w)) continue;
          for (std::size_t keep : tear_points(log[w])) {
            CrashState torn = state;
            torn.torn[w] = keep;
            add(std::move(torn));
          }
        }
      }
    }
    return states;
  }
  for (std::size_t k = 0; k <= log.size(); ++k) {
    add(subset(k, 0));
    add(subset(k, ~0ULL));
  }
  std::mt19937_64 random(seed);
  for (std::size_t attempts = 0; states.size() < budget && attempts < 50 * budget;
       ++attempts) {
    const std::size_t k = random() % (log.size() + 1);
    CrashState state;
    state.point = k;
    for (std::size_t call : points[k].unsynced) {
      if (random() & 1) state.applied.push_back(call);
    }
    for (std::size_t w : points[k].tearable) {
      if (applied(state, w) && (random() & 1)) {
        const std::vector<std::size_t> cuts = tear_points(log[w]);
        state.torn[w] = cuts[random() % cuts.size()];
      }
    }
    add(std::move(state));
  }
  return states;
}

std::map<std::string, std::string> files_after_crash(
    const DirectoryImage& before, const std::vector<LoggedCall>& log,
    const CrashState& state) {
  const Files files = number_files(before, log);
  const std::vector<bool> synced = synced_before(log, files, state.point);
  std::vector<std::string> bytes = files.initial;
  std::map<std::string, int> names = files.initial_names;
  std::set<std::size_t> applied(state.applied.begin(), state.applied.end());
  for (std::size_t i = 0; i < state.point; ++i) {
    if (!synced[i] && applied.count(i) == 0) continue;
    const LoggedCall& call = log[i];
    const int file = files.of_call[i];
    switch (call.kind) {
      case kelRecordCreate:
        names.try_emplace(call.name, file);
        break;
      case kelRecordWrite: {
        std::size_t length = call.data.size();
        auto torn = state.torn.find(i);
        if (torn != state.torn.end()) length = std::min(length, torn->second);
        std::string& content = bytes[static_cast<std::size_t>(file)];
        const std::size_t end = static_cast<std::size_t>(call.offset) + length;
        if (content.size() < end) content.resize(end, '\0');
        content.replace(static_cast<std::size_t>(call.offset), length, call.data, 0, length);
        break;
      }
      case kelRecordTruncate:
        bytes[static_cast<std::size_t>(file)].resize(static_cast<std::size_t>(call.offset), '\0');
        break;
      case kelRecordRename: {
        auto from = names.find(call.name);
        if (from == names.end()) break;
        auto to = names.find(call.name2);
        if (to != names.end() && to->second == from->second) break;
        names[call.name2] = from->second;
        names.erase(call.name);
        break;
      }
      case kelRecordLink:
        if (names.count(call.name) != 0) names.try_emplace(call.name2, names[call.name]);
        break;
      case kelRecordUnlink:
        names.erase(call.name);
        break;
      default:
        break;
    }
  }
  std::map<std::string, std::string> out;
  for (const auto& [name, file] : names) out[name] = bytes[static_cast<std::size_t>(file)];
  return out;
}

std::string describe(const CrashState& state) {
  std::ostringstream out;
  out << "point " << state.point << " applied ";
  for (std::size_t i = 0; i < state.applied.size(); ++i) {
    out << (i == 0 ? "" : ",") << state.applied[i];
  }
  out << " torn ";
  bool first = true;
  for (const auto& [call, keep] : state.torn) {
    out << (first ? "" : ",") << call << ':' << keep;
    first = false;
  }
  return out.str();
}

CrashState parse_crash_state(const std::string& text) {
  CrashState state;
  std::istringstream in(text);
  std::string word, list;
  in >> word >> state.point >> word;
  auto split = [](const std::string& items) {
    std::vector<std::string> out;
    std::istringstream parts(items);
    for (std::string part; std::getline(parts, part, ',');) {
      if (!part.empty()) out.push_back(part);
    }
    return out;
  };
  if (in >> list && list != "torn") {
    for (const std::string& call : split(list)) state.applied.push_back(std::stoul(call));
    in >> list;  // "torn"
  }
  if (in >> list) {
    for (const std::string& pair : split(list)) {
      const auto colon = pair.find(':');
      state.torn[std::stoul(pair.substr(0, colon))] = std::stoul(pair.substr(colon + 1));
    }
  }
  return state;
}

}  // namespace kel::robust

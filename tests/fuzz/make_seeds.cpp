// Writes the seed corpus of the store fuzz target: records regions of real
// stores (made by the library under the fixed header) and a few hand-built
// damaged ones. Usage: kel-safe-fuzz-seeds <output directory>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/fixed_store.h"
#include "kel/entry.h"
#include "kel/safe.h"
#include "robust/robust_util.h"

namespace {

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_all(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Builds a store under the fixed header with the library and returns its
// records region.
std::string library_store(const std::function<bool(kel::Safe&)>& fill) {
  kel::fuzz::clear_scratch();
  const std::string path = kel::fuzz::scratch_dir() + "/seed.safe";
  write_all(path, kel::fuzz::fixed_header());
  {
    kel::Safe safe(path, kel::fuzz::kPassword);
    if (!fill(safe)) {
      std::fprintf(stderr, "could not build a seed store\n");
      std::exit(1);
    }
  }
  return read_all(path).substr(132);
}

bool add(kel::Safe& safe, const std::string& name, const std::string& value) {
  std::string error;
  if (safe.add_entry(kel::Entry(name, value), error) == 0) return true;
  std::fprintf(stderr, "add %s: %s\n", name.c_str(), error.c_str());
  return false;
}

// A record built by hand at file offset `start` (132 + records before it).
std::string record(std::size_t start, const std::string& name, const std::string& value,
                   unsigned char salt) {
  unsigned char name_nonce[12], value_nonce[12];
  for (int i = 0; i < 12; ++i) {
    name_nonce[i] = static_cast<unsigned char>(salt + i);
    value_nonce[i] = static_cast<unsigned char>(salt * 3 + i);
  }
  return kel::fuzz::fixed_record(start, name, value, name_nonce, value_nonce);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <output directory>\n", argv[0]);
    return 2;
  }
  const std::string out = argv[1];
  std::filesystem::create_directories(out);
  std::vector<std::pair<std::string, std::string>> seeds;

  seeds.emplace_back("empty", "");
  seeds.emplace_back("one-tiny", library_store([](kel::Safe& s) { return add(s, "a", "b"); }));
  seeds.emplace_back("three", library_store([](kel::Safe& s) {
    return add(s, "first", std::string(10, 'x')) &&
           add(s, "second name", std::string(300, '\0') + "tail") &&
           add(s, "third", kel::robust::value_for("third", 2000));
  }));
  seeds.emplace_back("long-name", library_store([](kel::Safe& s) {
    return add(s, std::string(255, 'N'), "value of the long name") && add(s, "after", "x");
  }));
  seeds.emplace_back("after-removal", library_store([](kel::Safe& s) {
    std::string e;
    return add(s, "one", "1111") && add(s, "two", "2222") && add(s, "three", "3333") &&
           add(s, "four", "4444") && s.remove_entry("two", e) == 0;
  }));
  seeds.emplace_back("eight", library_store([](kel::Safe& s) {
    for (int i = 0; i < 8; ++i) {
      const std::string name = "item-" + std::to_string(i);
      if (!add(s, name, kel::robust::value_for(name, 200))) return false;
    }
    return true;
  }));

  // Hand-built: a duplicate name, an interrupted append, a value cut short,
  // a fixed part cut short, a wrong value_offset, an oversized value_length.
  const std::string a = record(132, "dup", "first value", 1);
  const std::string b = record(132 + a.size(), "other", "other value", 2);
  const std::string c = record(132 + a.size() + b.size(), "dup", "second value", 3);
  seeds.emplace_back("duplicate", a + b + c);
  // A second record of a name whose value the end of the file cuts, and one
  // whose value_length is damaged with a record after it: check must keep
  // its damage list in order and inside the file.
  seeds.emplace_back("duplicate-cut", a + b + c.substr(0, c.size() - 10));
  {
    std::string mended = a + b + c + record(132 + a.size() + b.size() + c.size(), "z", "zz", 4);
    mended[a.size() + b.size() + 1 + 3 + 28 + 8] ^= 0x01;  // value_length of the second "dup"
    seeds.emplace_back("duplicate-length", mended);
  }
  seeds.emplace_back("interrupted-append",
                     a + b + std::string(1, '\0') + c.substr(1, 20));
  seeds.emplace_back("value-cut", a + b.substr(0, b.size() - 10));
  seeds.emplace_back("fixed-part-cut", a + b.substr(0, 12));
  {
    std::string wrong = a + b;
    wrong[a.size() + 1 + 5 + 28] ^= 0x40;  // value_offset of "other"
    seeds.emplace_back("wrong-offset", wrong);
  }
  {
    std::string big = a + b;
    const std::size_t at = a.size() + 1 + 5 + 28 + 8;  // value_length of "other"
    big[at + 3] = static_cast<char>(0x7f);
    seeds.emplace_back("huge-length", big);
  }

  // Described records: sealed by the target itself, then damaged.
  using Shape = kel::fuzz::RecordShape;
  std::vector<std::pair<std::string, std::string>> described;
  described.emplace_back("described-plain",
                         kel::fuzz::describe({Shape{"alpha", 10, 1, 0, 0},
                                              Shape{"beta", 300, 2, 0, 0},
                                              Shape{std::string(255, 'z'), 20, 3, 0, 0}},
                                             0));
  described.emplace_back("described-damage",
                         kel::fuzz::describe({Shape{"one", 5, 1, 1, 16},
                                              Shape{"two", 7, 2, 2, 3000},
                                              Shape{"three", 9, 3, 3, 4},
                                              Shape{"four", 11, 4, 4, 0},
                                              Shape{"five", 13, 5, 5, 0}},
                                             0));
  // Damage in the middle, which the scan reads around: a zeroed length
  // byte, a wrong one, a flipped name bit, a flipped value_length bit.
  described.emplace_back("described-middle-damage",
                         kel::fuzz::describe({Shape{"one", 5, 1, 0, 0},
                                              Shape{"two", 7, 2, 5, 0},
                                              Shape{"three", 9, 3, 7, 200},
                                              Shape{"four", 11, 4, 6, 3},
                                              Shape{"five", 13, 5, 6, 0x4000002a},
                                              Shape{"six", 15, 6, 0, 0}},
                                             0));
  described.emplace_back("described-cut",
                         kel::fuzz::describe({Shape{"one", 50, 1, 0, 0},
                                              Shape{"two", 60, 2, 0, 0}},
                                             37));

  // Inputs that once broke an invariant (a damaged value_length whose claim
  // ends past the file or on a zero byte; zeroed first bytes at the end),
  // kept so that every run starts from them.
  const std::vector<std::pair<const char*, const char*>> found = {
      {"found-claim-past-end",
         "010003ef6e6504000101100000000374776f06000202b80b0000e0e0e0e0e0e0"
         "e0e0e0e0e0e0e0e0e0e0e0e0e0e0e0e0e0e0e0e0057468726565080003030400"
         "00e0e0e0e0e0e0e0e0e0e0e0e0e0e0e0e0e0e0e0e0e0e0e00574687265650800"
         "03030400000004666f7572022b04141414141414141414141414141414141414"
         "1414141414141414141414141414141414141414141414141414141414141414"
         "1414141414141414141414141414141414141414141414141414141414141414"
         "1414141414141414141414141414141414141414141414141414141414141414"
         "14141414141414141414040000080004666976650cffffffffffffffffffffff"
         "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff00"
         "0505000000000004666f7572022b041414141414141414141414141414141414"
         "1414141414141414141414141414141414141414141414141414141414141414"
         "1414141414141414141414141414141414141414141414141414141414141414"
         "141414141414141414141414141414141414141414141414ffffffffffffffff"
         "ffffffffffffffffffffffffffffffffff000505000000000004666f7572022b"
         "0414141414141414141414141414141414141414141414141414141414141414"
         "1414141414141414141414141414141414141414141414141414141414141414"
         "1414141414141414141414141414141414141414141414141414141414141414"
         "1414141414141414141414141414141414141414141414141414141414040000"
         "080004666976650cffffffffffffff1414141414141414141414141414141414"
         "1414040000080004666976650cffffffffffffffffffffffffffffffffffffff"
         "ffff1f1f1f1f1f1f1f1f1f1f1f1f1f1f1f1f1f1f1f1f1f1f1f1f1f1f1f1f1f1f"
         "1f1f1f1f1f1f1f1f1f1f1f1f1f1f1f1f1f1f1f1f1f1f1f1f1f1f1f1f1f1f1f1f"
         "1f1f1f1f1f1f1f1f1f1f1f1f1f1f1f1f1f1f1f1f1f1f1f1fffffffffffffffff"
         "ffffffffffffffffffffffffff00050500000000"},
      {"found-zeroed-tail",
         "0100036f6e6504000101100000000374776f06000202b80b0000057405050505"
         "0505050505050505050505050505050505050505050505050505050505050505"
         "0505050505050505050505050505050505050505050505050505050505050505"
         "05050505050505050505050505050505050c0505050505050505050505050505"
         "05050568722d65650800030304000005050505056504"},
  };
  for (const auto& [name, hex] : found) {
    std::string bytes;
    for (std::size_t i = 0; hex[i] != '\0' && hex[i + 1] != '\0'; i += 2) {
      bytes += static_cast<char>(std::stoi(std::string(hex + i, 2), nullptr, 16));
    }
    described.emplace_back(name, bytes);
  }

  // Raw regions carry the form byte 0 in front.
  for (const auto& [name, bytes] : seeds) write_all(out + "/seed-" + name, '\0' + bytes);
  for (const auto& [name, bytes] : described) write_all(out + "/seed-" + name, bytes);
  seeds.insert(seeds.end(), described.begin(), described.end());
  std::printf("%zu seeds written to %s\n", seeds.size(), out.c_str());
  return 0;
}

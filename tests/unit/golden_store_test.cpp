// A store file written by an independent implementation: the library must
// open it, list and read exactly what its manifest says, and find each record
// where the manifest puts it.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <cctype>
#include <string>
#include <vector>

#include "engine/records/record_codec.h"
#include "kel/safe.h"
#include "kel/store.h"
#include "support/reference_store.h"
#include "support/test_support.h"

namespace {

using kel::test::read_file;
using kel::test::TempDir;
using kel::test::unhex;
namespace ref = kel::test::ref;

struct Manifest {
  std::string password;
  std::size_t file_length = 0;
  std::vector<std::string> names, values;  // in file order
  struct Record {
    long long start, name_length, value_offset, value_length;
  };
  std::vector<Record> records;
};

// The manifest is flat and simple: every value of a key is found by looking
// for "key": and reading the string or number after it.
std::vector<std::string> raw_values(const std::string& json, const std::string& key) {
  std::vector<std::string> out;
  const std::string needle = "\"" + key + "\"";
  for (std::size_t at = json.find(needle); at != std::string::npos;
       at = json.find(needle, at + 1)) {
    std::size_t i = json.find(':', at + needle.size());
    if (i == std::string::npos) break;
    ++i;
    while (i < json.size() && std::isspace(static_cast<unsigned char>(json[i]))) ++i;
    if (i < json.size() && json[i] == '"') {
      const std::size_t end = json.find('"', i + 1);
      out.push_back(json.substr(i + 1, end - i - 1));
    } else {
      std::size_t end = i;
      while (end < json.size() && std::isdigit(static_cast<unsigned char>(json[end]))) ++end;
      out.push_back(json.substr(i, end - i));
    }
  }
  return out;
}

std::vector<std::string> all_strings(const std::string& json, const std::string& key) {
  return raw_values(json, key);
}

std::vector<long long> all_numbers(const std::string& json, const std::string& key) {
  std::vector<long long> out;
  for (const auto& v : raw_values(json, key)) out.push_back(std::stoll(v));
  return out;
}

Manifest load_manifest(const std::string& json) {
  Manifest m;
  const auto passwords = all_strings(json, "password");
  if (passwords.size() == 1) m.password = passwords[0];
  const auto lengths = all_numbers(json, "file_length");
  if (lengths.size() == 1) m.file_length = static_cast<std::size_t>(lengths[0]);
  for (const auto& h : all_strings(json, "name_hex")) m.names.push_back(unhex(h));
  for (const auto& h : all_strings(json, "value_hex")) m.values.push_back(unhex(h));
  const auto starts = all_numbers(json, "start");
  const auto name_lengths = all_numbers(json, "name_length");
  const auto offsets = all_numbers(json, "value_offset");
  const auto value_lengths = all_numbers(json, "value_length");
  for (std::size_t i = 0; i < starts.size() && i < name_lengths.size() && i < offsets.size() &&
                          i < value_lengths.size();
       ++i) {
    m.records.push_back({starts[i], name_lengths[i], offsets[i], value_lengths[i]});
  }
  return m;
}

class GoldenStore : public testing::Test {
 protected:
  void SetUp() override {
    const std::filesystem::path data = kel::test::testdata_dir();
    const std::string original = read_file((data / "golden.safe").string());
    manifest = load_manifest(read_file((data / "golden.json").string()));
    ASSERT_FALSE(manifest.password.empty());
    ASSERT_FALSE(manifest.names.empty());
    ASSERT_EQ(manifest.names.size(), manifest.values.size());
    ASSERT_EQ(manifest.names.size(), manifest.records.size());
    ASSERT_EQ(original.size(), manifest.file_length);
    path = dir.file("golden.safe");
    kel::test::write_file(path, original);
  }
  TempDir dir;
  std::string path;
  Manifest manifest;
};

TEST_F(GoldenStore, TheTestsOwnReaderAgreesWithTheManifest) {
  // The reference reader the other tests rely on must understand a file it
  // did not write.
  const std::string file = read_file(path);
  const auto key = ref::unwrap_store_key(file, manifest.password);
  ASSERT_TRUE(key.has_value());
  const auto records = ref::read_records(file, *key);
  ASSERT_EQ(records.size(), manifest.records.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i].name, manifest.names[i]) << i;
    EXPECT_EQ(records[i].value, manifest.values[i]) << i;
    EXPECT_EQ(records[i].start, manifest.records[i].start) << i;
    EXPECT_EQ(records[i].value_offset, manifest.records[i].value_offset) << i;
  }
}

TEST_F(GoldenStore, OpensListsAndReadsEverything) {
  kel::Store store(path, manifest.password);
  std::string error;
  EXPECT_TRUE(store.verify_store_password(error)) << error;
  std::string text;
  ASSERT_EQ(store.open_store(text), 0) << text;

  std::vector<std::string> names;
  ASSERT_EQ(store.list_items(names, error), 0) << error;
  std::vector<std::string> expected = manifest.names;
  std::sort(names.begin(), names.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(names, expected);

  for (std::size_t i = 0; i < manifest.names.size(); ++i) {
    std::string value;
    ASSERT_EQ(store.get_item(manifest.names[i], value, error), 0) << error;
    EXPECT_EQ(value, manifest.values[i]) << i;
    EXPECT_TRUE(store.exists(manifest.names[i])) << i;
  }
  // Reading changed nothing.
  EXPECT_EQ(read_file(path), read_file(kel::test::testdata_dir() + "/golden.safe"));
}

TEST_F(GoldenStore, RecordsAreWhereTheManifestSays) {
  kel::Store store(path, manifest.password);
  std::string text;
  ASSERT_EQ(store.open_store(text), 0) << text;
  const std::string file = read_file(path);
  for (std::size_t i = 0; i < manifest.names.size(); ++i) {
    const auto& r = manifest.records[i];
    const auto& item = store.index.at(manifest.names[i]);
    EXPECT_EQ(item.value_offset, r.value_offset) << i;
    EXPECT_EQ(item.value_length, static_cast<std::uint32_t>(r.value_length)) << i;
    EXPECT_EQ(static_cast<unsigned char>(file.at(static_cast<std::size_t>(r.start))),
              r.name_length)
        << i;
    EXPECT_EQ(r.name_length, static_cast<long long>(manifest.names[i].size())) << i;
    EXPECT_EQ(r.value_offset, r.start + r.name_length + 41) << i;
  }
}

// The record codec against a file it did not write: each fixed part decodes
// to the fields the reference reader finds, and encoding those fields around
// the file's own sealed name gives back the file's bytes exactly.
TEST_F(GoldenStore, RecordCodecKnowsTheGoldenFixedParts) {
  const std::string file = read_file(path);
  const auto spans = ref::record_spans(file);
  ASSERT_EQ(spans.size(), manifest.names.size());
  for (const auto& span : spans) {
    const auto* fixed = reinterpret_cast<const unsigned char*>(file.data()) + span.start;
    const kel::codec::FixedPart part = kel::codec::decode_fixed(fixed);
    const auto n = static_cast<long>(span.name_length);
    EXPECT_EQ(part.name_length, n);
    EXPECT_EQ(part.value_offset, span.value_offset);
    EXPECT_EQ(part.value_length, span.value_length);
    EXPECT_EQ(part.name_nonce - fixed, static_cast<long>(span.name_nonce_at() - span.start));
    EXPECT_EQ(part.name_tag - fixed, static_cast<long>(span.name_tag_at() - span.start));
    EXPECT_EQ(part.size(), static_cast<long>(span.value_cipher_at() - span.start));
    EXPECT_EQ(static_cast<std::size_t>(part.value_end()), span.end());
    EXPECT_EQ(kel::codec::record_size(n, span.value_length),
              static_cast<long long>(span.length()));
    EXPECT_TRUE(kel::codec::placed_at(part, static_cast<long long>(span.start)));
    EXPECT_FALSE(kel::codec::placed_at(part, static_cast<long long>(span.start) + 1));
    std::string encoded(file, span.start, static_cast<std::size_t>(part.size()));
    auto* out = reinterpret_cast<unsigned char*>(encoded.data());
    std::fill(out, out + 1, 0);
    std::fill(out + kel::codec::value_offset_at(n), out + part.size(), 0);
    kel::codec::encode_fixed(out, n, static_cast<long long>(span.start), span.value_length);
    EXPECT_EQ(encoded, file.substr(span.start, encoded.size()));
  }
}

TEST_F(GoldenStore, WrongPasswordIsRefused) {
  kel::Safe safe(path, manifest.password + "?");
  std::string error;
  EXPECT_FALSE(safe.key_verified(error));
  EXPECT_EQ(error, "Invalid password");
  kel::Safe right(path, manifest.password);
  EXPECT_TRUE(right.key_verified(error)) << error;
  kel::Entry entry(manifest.names[0]);
  ASSERT_EQ(right.get_entry(entry, error), 0) << error;
  EXPECT_EQ(entry.value(), manifest.values[0]);
}

}  // namespace

// A program built against an installed libkel-safe, as any user of the
// library builds one. It makes a store in the directory it is given, keeps
// a value with a zero byte in it, reads it back, lists and removes it, and
// exits non-zero when anything differs from what was stored.
//   kel-safe-consumer DIRECTORY
#include <kel/entry.h>
#include <kel/safe.h>

#include <iostream>
#include <string>
#include <vector>

namespace {

int fail(const std::string& step, const std::string& error) {
  std::cerr << "consumer: " << step << ": " << error << "\n";
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: kel-safe-consumer DIRECTORY\n";
    return 2;
  }
  const std::string store = std::string(argv[1]) + "/consumer";
  const std::string password = "Consumer-Passw0rd-42!";
  const std::string value("api\0token", 9);
  std::string error;

  kel::Safe safe(store, password);
  if (safe.version() != "1.0.0") return fail("version", std::string(safe.version()));
  if (safe.create_safe(error) != 0) return fail("create", error);
  if (safe.add_entry(kel::Entry("service", value), error) != 0) return fail("add", error);

  // A second Safe on the same file, as another process would open it.
  kel::Safe reader(store, password);
  kel::Entry entry("service");
  if (reader.get_entry(entry, error) != 0) return fail("get", error);
  if (entry.value() != value) return fail("get", "the value differs");
  std::vector<std::string> names;
  if (reader.list_entries(names, error) != 0) return fail("list", error);
  if (names != std::vector<std::string>{"service"}) return fail("list", "wrong names");
  if (reader.remove_entry("service", error) != 0) return fail("remove", error);
  if (safe.exists("service")) return fail("exists", "the entry is still there");

  std::cout << "kel-safe " << safe.version() << ": consumer round trip passed\n";
  return 0;
}

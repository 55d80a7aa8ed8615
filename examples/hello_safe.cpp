// The smallest useful program against libkel-safe: create a store, keep one
// secret in it, read it back and list the names.
//   kel-safe-example PATH   (PATH without or with ".safe"; must not exist)
#include <kel/entry.h>
#include <kel/safe.h>

#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: " << argv[0] << " STORE-PATH\n";
    return 2;
  }
  kel::Safe safe(argv[1], "Example-Passw0rd-123!");
  std::string error;
  std::cout << "kel-safe " << safe.version() << "\n";
  if (safe.create_safe(error) != 0) {
    std::cerr << "create: " << error << "\n";
    return 1;
  }
  std::cout << "created " << error << "\n";
  if (safe.add_entry(kel::Entry("greeting", "hello, world"), error) != 0) {
    std::cerr << "add: " << error << "\n";
    return 1;
  }
  kel::Entry entry("greeting");
  if (safe.get_entry(entry, error) != 0) {
    std::cerr << "get: " << error << "\n";
    return 1;
  }
  std::cout << "greeting = " << entry.value() << "\n";
  std::vector<std::string> names;
  if (safe.list_entries(names, error) != 0) {
    std::cerr << "list: " << error << "\n";
    return 1;
  }
  std::cout << names.size() << " entr" << (names.size() == 1 ? "y" : "ies")
            << " stored\n";
  return 0;
}

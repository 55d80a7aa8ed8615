// The floor under the tool's start-up time: a C++ program that links
// libcrypto and libstdc++ as the tool does, calls into both, and returns.
// bench/compare.sh times `kel-safe version` against it.
#include <openssl/crypto.h>

#include <string>

int main(int argc, char** argv) {
  const std::string name(argc > 0 ? argv[0] : "");
  return OpenSSL_version_num() == 0 && name.empty() ? 1 : 0;
}

// The names of the files that belong to one store.
#pragma once

#include <string>

namespace kel::detail {

inline const std::string kPasswordChangeBackup = ".backup1";
inline const std::string kRemovalBackup = ".backup2";

// `name` itself when it ends with `extension` (byte for byte), otherwise
// `name` followed by `extension`.
std::string path_with_extension(const std::string& name,
                                const std::string& extension);

// A fresh name beside the store file for a file under construction:
// "<store path>.<milliseconds since the epoch>-<8 random hex digits><extension>".
// Unique enough that two writers never pick the same one; they are created
// exclusively all the same.
std::string temporary_path(const std::string& store_path,
                           const std::string& extension);

// Whether `path` has the form temporary_path gives for this store.
bool is_temporary_path(const std::string& store_path,
                       const std::string& extension, const std::string& path);

}  // namespace kel::detail

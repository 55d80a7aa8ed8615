// Random values of chosen classes of characters, drawn from the library's
// random source without bias.
#pragma once

#include <kel/safe.h>

#include <cstddef>
#include <string>
#include <vector>

#include "secret.h"

namespace kel::tool {

inline constexpr std::size_t kDefaultGeneratedLength = 24;

// The alphabets to draw from; every one appears at least once in a value.
using CharacterClasses = std::vector<std::string>;

// "upper,lower,digit,symbol" or any of them. Throws a Failure (kUsage)
// naming `what` for an unknown or repeated class.
CharacterClasses parse_classes(const std::string& list, const std::string& what);

// `length` characters, each drawn uniformly from the union of `classes`,
// drawn again until every class is present. `length` must be at least the
// number of classes (a Failure of kUsage otherwise).
Secret generate_value(kel::Safe& safe, std::size_t length, const CharacterClasses& classes,
                      const std::string& what);

}  // namespace kel::tool

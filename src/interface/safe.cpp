#include "kel/safe.h"

#include "kel/store.h"

namespace kel {

Safe::Safe() : store(new Store()) {}

Safe::Safe(const std::string& name, const std::string& password)
    : store(new Store(name, password)) {}

Safe::~Safe() { delete store; }

std::string_view Safe::version() const { return "1.0.0"; }

}  // namespace kel

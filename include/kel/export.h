// Symbol visibility for libkel-safe. The library is built with hidden
// visibility; only the classes marked KEL_SAFE_EXPORT are part of its ABI.
#pragma once

#define KEL_SAFE_EXPORT __attribute__((visibility("default")))

// The fuzz targets' property check: a failed property names itself on stderr
// before the abort that libFuzzer reports.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace pelorin::fuzz {

inline void require_at(bool ok, const char* what, const char* file, int line) {
  if (ok) return;
  std::fprintf(stderr, "%s:%d: property failed: %s\n", file, line, what);
  std::abort();
}

}  // namespace pelorin::fuzz

#define require(...) ::pelorin::fuzz::require_at((__VA_ARGS__), #__VA_ARGS__, __FILE__, __LINE__)

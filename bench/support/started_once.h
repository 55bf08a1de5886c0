// A benchmark fixture of real processes, started once for the whole run and
// kept until the program ends. Null when it would not start (said on stderr).
#pragma once

#include <cstdio>
#include <memory>

namespace benchsupport {

// `T` has `bool start()`.
template <class T>
T* startedOnce(const char* what) {
  static std::unique_ptr<T> instance = [what] {
    auto fixture = std::make_unique<T>();
    if (!fixture->start()) {
      std::fprintf(stderr, "%s setup failed\n", what);
      return std::unique_ptr<T>();
    }
    return fixture;
  }();
  return instance.get();
}

}  // namespace benchsupport

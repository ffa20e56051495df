// How long the tests wait for the server. A sanitizer slows every thread of
// the process several times over, so the waits that bound how long the server
// may take are stretched by CORVAN_TEST_TIME_SCALE (a whole number, 1 when
// unset; .ci/tsan.sh sets it). Waits that a test expects to run out take
// longer by the same factor, which never turns a pass into a failure.
#pragma once

#include <chrono>
#include <cstdlib>
#include <string>

namespace corvan::test {

inline int TimeScale() {
  static const int scale = [] {
    const char* text = std::getenv("CORVAN_TEST_TIME_SCALE");
    if (text == nullptr) return 1;
    try {
      const int value = std::stoi(text);
      return value >= 1 && value <= 100 ? value : 1;
    } catch (const std::exception&) {
      return 1;  // unreadable: no stretching
    }
  }();
  return scale;
}

inline std::chrono::milliseconds Scaled(std::chrono::milliseconds wait) { return wait * TimeScale(); }

}  // namespace corvan::test

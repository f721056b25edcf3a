// A tiny runner for the C++ unit tests: each test registers itself and reports by CHECK.
#include "core_test.h"

#include <cstdio>

namespace zanth::test {

std::vector<TestCase>& Registry() {
  static std::vector<TestCase> tests;
  return tests;
}
int g_failures = 0;

}  // namespace zanth::test

int main() {
  int failed_tests = 0;
  for (const auto& test : zanth::test::Registry()) {
    int before = zanth::test::g_failures;
    test.fn();
    if (zanth::test::g_failures != before) {
      ++failed_tests;
      std::printf("FAILED %s\n", test.name);
    }
  }
  int total = static_cast<int>(zanth::test::Registry().size());
  std::printf("%d passed, %d failed\n", total - failed_tests, failed_tests);
  return failed_tests == 0 ? 0 : 1;
}

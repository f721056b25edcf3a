#pragma once

#include <cstdio>
#include <vector>

namespace zanth::test {

struct TestCase {
  const char* name;
  void (*fn)();
};
std::vector<TestCase>& Registry();
extern int g_failures;

struct Register {
  Register(const char* name, void (*fn)()) { Registry().push_back({name, fn}); }
};

}  // namespace zanth::test

#define TEST_CASE(name)                                              \
  static void name();                                                \
  static ::zanth::test::Register register_##name(#name, &name);      \
  static void name()

#define CHECK(cond)                                                              \
  do {                                                                           \
    if (!(cond)) {                                                               \
      std::printf("%s:%d: CHECK(%s) failed\n", __FILE__, __LINE__, #cond);       \
      ++::zanth::test::g_failures;                                               \
    }                                                                            \
  } while (0)

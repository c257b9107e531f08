// Minimal unit-test harness for the C++ core: TEST(name) { CHECK(...); }.
#pragma once

#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace kelvane_test {

struct Registry {
    std::vector<std::pair<std::string, std::function<void()>>> tests;
    int failures = 0;
    static Registry& get() {
        static Registry r;
        return r;
    }
};

struct Register {
    Register(const char* name, std::function<void()> fn) { Registry::get().tests.emplace_back(name, std::move(fn)); }
};

inline void fail(const char* file, int line, const std::string& what) {
    std::printf("  FAIL %s:%d: %s\n", file, line, what.c_str());
    ++Registry::get().failures;
}

}  // namespace kelvane_test

#define KT_CAT2(a, b) a##b
#define KT_CAT(a, b) KT_CAT2(a, b)
#define TEST(name)                                                                    \
    static void name();                                                               \
    static ::kelvane_test::Register KT_CAT(kt_reg_, name)(#name, name);               \
    static void name()
#define CHECK(cond) \
    do { if (!(cond)) ::kelvane_test::fail(__FILE__, __LINE__, #cond); } while (0)
#define CHECK_NEAR(a, b, tol)                                                                          \
    do {                                                                                               \
        const double kt_a = (a), kt_b = (b);                                                           \
        if (!(std::fabs(kt_a - kt_b) <= (tol)))                                                        \
            ::kelvane_test::fail(__FILE__, __LINE__, std::string(#a " ~ " #b ": ") + std::to_string(kt_a) + \
                                                         " vs " + std::to_string(kt_b));               \
    } while (0)

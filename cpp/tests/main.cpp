#include "check.hpp"

int main() {
    auto& reg = kelvane_test::Registry::get();
    int failed_tests = 0;
    for (auto& [name, fn] : reg.tests) {
        const int before = reg.failures;
        fn();
        const bool ok = reg.failures == before;
        if (!ok) ++failed_tests;
        std::printf("%s %s\n", ok ? "ok  " : "FAIL", name.c_str());
    }
    const int passed = static_cast<int>(reg.tests.size()) - failed_tests;
    std::printf("core: %d passed, %d failed\n", passed, failed_tests);
    return failed_tests == 0 ? 0 : 1;
}

// Minimal assertion helpers for the C++ unit tests: count failures, print what differed.
#pragma once

#include <cmath>
#include <cstdio>
#include <string>

namespace check {

inline int failures = 0;
inline int checks = 0;

inline void fail(const char* file, int line, const std::string& what) {
    ++failures;
    std::fprintf(stderr, "%s:%d: FAILED %s\n", file, line, what.c_str());
}

inline void that(bool ok, const char* expr, const char* file, int line,
                 const std::string& context = "") {
    ++checks;
    if (!ok)
        fail(file, line, std::string(expr) + (context.empty() ? "" : "  [" + context + "]"));
}

inline void close(double got, double expected, double tol, const char* expr, const char* file,
                  int line, const std::string& context = "") {
    ++checks;
    if (!(std::fabs(got - expected) <= tol)) {
        char buf[256];
        std::snprintf(buf, sizeof buf, "%s: got %.17g expected %.17g tol %.3g", expr, got,
                      expected, tol);
        fail(file, line, buf + (context.empty() ? std::string() : "  [" + context + "]"));
    }
}

template <class E, class F>
void throws(F&& f, const char* expr, const char* file, int line) {
    ++checks;
    try {
        f();
    } catch (const E&) {
        return;
    } catch (...) {
        fail(file, line, std::string(expr) + ": threw a different exception type");
        return;
    }
    fail(file, line, std::string(expr) + ": did not throw");
}

inline int summary(const char* name) {
    std::printf("%s: %d checks, %d failures\n", name, checks, failures);
    return failures == 0 ? 0 : 1;
}

} // namespace check

#define CHECK(cond, ...) check::that((cond), #cond, __FILE__, __LINE__ __VA_OPT__(, ) __VA_ARGS__)
#define CHECK_CLOSE(got, expected, tol, ...)                                                     \
    check::close((got), (expected), (tol), #got " vs " #expected, __FILE__,                    \
                 __LINE__ __VA_OPT__(, ) __VA_ARGS__)
#define CHECK_THROWS(E, stmt) check::throws<E>([&] { stmt; }, #stmt, __FILE__, __LINE__)

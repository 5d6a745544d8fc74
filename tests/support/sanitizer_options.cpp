// SPDX-License-Identifier: MIT
// Sanitizer settings built into every test process, so that running a test
// binary by hand behaves as under ctest. Only read in sanitizer builds.
#define ZORCLIENT_SANITIZER_OPTIONS(name, options)                               \
    extern "C" __attribute__((visibility("default"), used)) const char* name() { \
        return options;                                                          \
    }

ZORCLIENT_SANITIZER_OPTIONS(__asan_default_options,
                            "detect_leaks=1:strict_init_order=1:detect_stack_use_after_return=1")
ZORCLIENT_SANITIZER_OPTIONS(__lsan_default_options,
                            "suppressions=" ZORCLIENT_SANITIZER_DIR "/lsan.supp")
ZORCLIENT_SANITIZER_OPTIONS(__ubsan_default_options, "print_stacktrace=1:halt_on_error=1")
ZORCLIENT_SANITIZER_OPTIONS(
    __tsan_default_options,
    "halt_on_error=1:second_deadlock_stack=1:suppressions=" ZORCLIENT_SANITIZER_DIR "/tsan.supp")

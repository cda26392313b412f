// Runtime options of an instrumented build, compiled into each of its executables. The runtimes
// ask for these by name before main; the environment's *_OPTIONS still take precedence.

#ifndef QUILLMEND_SANITIZER_DIR
#error "QUILLMEND_SANITIZER_DIR names the directory of the suppression files"
#endif

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUILLMEND_ASAN 1
#endif
#if __has_feature(thread_sanitizer)
#define QUILLMEND_TSAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define QUILLMEND_ASAN 1
#endif
#if defined(__SANITIZE_THREAD__)
#define QUILLMEND_TSAN 1
#endif

#define QUILLMEND_VISIBLE extern "C" __attribute__((visibility("default"), used))

#if defined(QUILLMEND_ASAN)
QUILLMEND_VISIBLE const char* __asan_default_options() {
  // Exit codes and stacks that a test run can act on; allocation-size mistakes are errors.
  return "detect_leaks=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1:"
         "check_initialization_order=1:allocator_may_return_null=0";
}

QUILLMEND_VISIBLE const char* __lsan_default_options() {
  return "suppressions=" QUILLMEND_SANITIZER_DIR "/lsan.supp:print_suppressions=0";
}

QUILLMEND_VISIBLE const char* __ubsan_default_options() {
  return "print_stacktrace=1:halt_on_error=1";
}
#endif

#if defined(QUILLMEND_TSAN)
QUILLMEND_VISIBLE const char* __tsan_default_options() {
  return "halt_on_error=1:second_deadlock_stack=1:suppressions=" QUILLMEND_SANITIZER_DIR
         "/tsan.supp";
}
#endif

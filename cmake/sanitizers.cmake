# Instrumentation for every target of the build. FFmpeg's own libraries come from the system and
# stay uninstrumented; what they are known to do wrong is listed in cmake/sanitizers/.
set(QUILLMEND_SANITIZE "" CACHE STRING
  "Instrument every target: ON for AddressSanitizer, LeakSanitizer and UBSan; thread for TSan")
option(QUILLMEND_FUZZ "Build the libFuzzer targets in fuzz/ (clang only)" OFF)

set(QUILLMEND_SANITIZER_FLAGS "")
if(QUILLMEND_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "QUILLMEND_FUZZ needs clang: configure with CC=clang CXX=clang++")
  endif()
  # Coverage for the fuzzer in every object; the fuzzer's own main is linked into fuzz/ only.
  set(QUILLMEND_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all)
  add_compile_options(-fsanitize=fuzzer-no-link)
elseif(QUILLMEND_SANITIZE STREQUAL "thread")
  set(QUILLMEND_SANITIZER_FLAGS -fsanitize=thread)
elseif(QUILLMEND_SANITIZE)
  # Undefined behaviour stops the test that hit it instead of scrolling past in its output.
  set(QUILLMEND_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all)
endif()

# Shared libraries are linked with --no-undefined so a missing symbol shows at build time. clang
# leaves the sanitizer runtime out of shared libraries (the executable brings it), so that check
# cannot hold for an instrumented clang build.
set(QUILLMEND_NO_UNDEFINED -Wl,--no-undefined)
if(QUILLMEND_SANITIZER_FLAGS)
  add_compile_options(${QUILLMEND_SANITIZER_FLAGS} -fno-omit-frame-pointer)
  add_link_options(${QUILLMEND_SANITIZER_FLAGS})
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    set(QUILLMEND_NO_UNDEFINED "")
  endif()
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # GCC 12 sees uninitialised members in libstdc++'s own std::function and std::regex once
    # the code is instrumented; the same code builds clean without sanitizers.
    add_compile_options(-Wno-maybe-uninitialized)
  endif()
endif()

# Every executable of an instrumented build gets the runtime options and the suppressions of
# cmake/sanitizers/ compiled in, so a test run needs no environment; *_OPTIONS variables still
# override them.
function(quillmend_add_sanitizer_defaults)
  if(NOT QUILLMEND_SANITIZER_FLAGS OR QUILLMEND_FUZZ)
    return()
  endif()
  set(directories ${ARGN})
  foreach(directory IN LISTS directories)
    get_property(targets DIRECTORY ${directory} PROPERTY BUILDSYSTEM_TARGETS)
    foreach(target IN LISTS targets)
      get_target_property(type ${target} TYPE)
      if(type STREQUAL "EXECUTABLE")
        target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/cmake/sanitizers/defaults.cpp)
        target_compile_definitions(${target} PRIVATE
          QUILLMEND_SANITIZER_DIR="${PROJECT_SOURCE_DIR}/cmake/sanitizers")
      endif()
    endforeach()
  endforeach()
endfunction()

# What a cross build for Windows takes instead of the host's packages: FFmpeg from the prefix
# that scripts/windows-ffmpeg.sh builds, spdlog and fmt as header-only libraries from Debian's
# headers, and GoogleTest built from Debian's sources.
if(NOT QUILLMEND_WINDOWS_FFMPEG OR NOT EXISTS ${QUILLMEND_WINDOWS_FFMPEG}/lib/pkgconfig)
  message(FATAL_ERROR
    "QUILLMEND_WINDOWS_FFMPEG must name an FFmpeg built for Windows (scripts/windows-ffmpeg.sh)")
endif()
# Every file that includes windows.h wants the lean one, without the min and max macros.
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX)

set(ENV{PKG_CONFIG_LIBDIR} ${QUILLMEND_WINDOWS_FFMPEG}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
set(QUILLMEND_FFMPEG_TOOL ${QUILLMEND_WINDOWS_FFMPEG}/bin/ffmpeg.exe CACHE FILEPATH "" FORCE)

# Only these header trees go on the include path, never the rest of the host's /usr/include.
set(quillmend_windows_include ${CMAKE_BINARY_DIR}/windows-include)
file(MAKE_DIRECTORY ${quillmend_windows_include})
foreach(tree spdlog fmt nlohmann CLI)
  if(NOT EXISTS ${quillmend_windows_include}/${tree})
    file(CREATE_LINK /usr/include/${tree} ${quillmend_windows_include}/${tree} SYMBOLIC)
  endif()
endforeach()
add_library(spdlog::spdlog INTERFACE IMPORTED)
target_include_directories(spdlog::spdlog SYSTEM INTERFACE ${quillmend_windows_include})
# Wide file names: the log path arrives as UTF-8 and must not pass through the ANSI code page.
target_compile_definitions(spdlog::spdlog INTERFACE SPDLOG_HEADER_ONLY SPDLOG_FMT_EXTERNAL
  FMT_HEADER_ONLY SPDLOG_WCHAR_FILENAMES)

# The header-only JSON and command-line libraries, under the names their packages give them.
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
target_include_directories(nlohmann_json::nlohmann_json SYSTEM INTERFACE ${quillmend_windows_include})
add_library(CLI11::CLI11 INTERFACE IMPORTED)
target_include_directories(CLI11::CLI11 SYSTEM INTERFACE ${quillmend_windows_include})

if(QUILLMEND_BUILD_TESTS AND NOT TARGET GTest::gtest)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  # Its own list file names the targets GTest::gtest and GTest::gtest_main.
  add_subdirectory(/usr/src/googletest/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
endif()

# Windows finds a program's DLLs beside it: FFmpeg's and the threads runtime of the compiler go
# into every directory that gets host programs.
file(GLOB quillmend_windows_dlls ${QUILLMEND_WINDOWS_FFMPEG}/bin/*.dll)
find_file(QUILLMEND_WINPTHREAD libwinpthread-1.dll
  PATHS /usr/x86_64-w64-mingw32/lib NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
foreach(dir ${CMAKE_BINARY_DIR}/bin ${CMAKE_BINARY_DIR}/bin-no-transcoder)
  file(COPY ${quillmend_windows_dlls} ${QUILLMEND_WINPTHREAD} DESTINATION ${dir})
endforeach()

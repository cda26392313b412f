# Installs the libraries, the public header, a CMake package (find_package(Quillmend) gives
# Quillmend::quillmend_sdk, and Quillmend::quillmend for the public C API of quillmend.h), a pkg-config file and the command-line tool with its ffmpeg link.
include(CMakePackageConfigHelpers)

set(QUILLMEND_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Quillmend)

install(TARGETS quillmend_sdk quillmend_lib VxLogSDK EXPORT QuillmendTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT QuillmendTargets NAMESPACE Quillmend:: DESTINATION ${QUILLMEND_CMAKE_DIR})

configure_package_config_file(cmake/QuillmendConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/QuillmendConfig.cmake INSTALL_DESTINATION ${QUILLMEND_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/QuillmendConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/QuillmendConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/QuillmendConfigVersion.cmake DESTINATION ${QUILLMEND_CMAKE_DIR})

file(RELATIVE_PATH QUILLMEND_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(cmake/quillmend_sdk.pc.in ${CMAKE_CURRENT_BINARY_DIR}/quillmend_sdk.pc @ONLY)
configure_file(cmake/quillmend.pc.in ${CMAKE_CURRENT_BINARY_DIR}/quillmend.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/quillmend_sdk.pc ${CMAKE_CURRENT_BINARY_DIR}/quillmend.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(TARGETS quillmend RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The advanced repair runs the ffmpeg tool found beside the host executable.
install(CODE "
  set(link \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/ffmpeg\")
  if(NOT EXISTS \"\${link}\")
    execute_process(COMMAND \"${CMAKE_COMMAND}\" -E create_symlink
      \"${QUILLMEND_FFMPEG_TOOL}\" \"\${link}\")
  endif()")

# What sets a build system up to optimise at link time through the installed
# wrappers: an initial cache for CMake and a native file for Meson.

# <prefix>/share/kiv/lto.cmake finds the wrappers relative to itself.
file(RELATIVE_PATH kiv_bin_from_share "/prefix/share/kiv" "/prefix/${KIV_BIN_DIR}")
configure_file("${CMAKE_CURRENT_LIST_DIR}/lto.cmake.in" "${PROJECT_BINARY_DIR}/lto.cmake" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/lto.cmake" DESTINATION share/kiv)

# <prefix>/share/meson/native/kiv-lto.ini names the wrappers' absolute paths,
# so it is written as it is installed, for the prefix it is installed in
# (cmake --install --prefix too), and below DESTDIR when that is set.
install(CODE "set(kiv_bin_dir [[${KIV_BIN_DIR}]])
set(kiv_template [[${CMAKE_CURRENT_LIST_DIR}/kiv-lto.ini.in]])")
install(CODE [[
  get_filename_component(kiv_prefix "${CMAKE_INSTALL_PREFIX}" ABSOLUTE)
  set(kiv_bin "${kiv_prefix}/${kiv_bin_dir}")
  set(kiv_native "$ENV{DESTDIR}${kiv_prefix}/share/meson/native/kiv-lto.ini")
  message(STATUS "Installing: ${kiv_native}")
  configure_file("${kiv_template}" "${kiv_native}" @ONLY)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${kiv_native}")
]])

# Installing kel-safe the way a system library installs: the shared library
# with its SONAME links, the public headers, a CMake package
# (find_package(kel-safe CONFIG) gives kel::safe), a pkg-config file, the
# command-line tool with its manual page, all under GNUInstallDirs; and a
# Debian package built by CPack.
include(CMakePackageConfigHelpers)

# Empty: below the library directory, which follows the prefix (a build
# configured again for another prefix installs its package files there too).
set(KEL_SAFE_CMAKE_DIR "" CACHE STRING
    "Where the CMake package files are installed, below the prefix (empty: LIBDIR/cmake/kel-safe)")
if(KEL_SAFE_CMAKE_DIR)
  set(kel_cmake_dir "${KEL_SAFE_CMAKE_DIR}")
else()
  set(kel_cmake_dir "${CMAKE_INSTALL_LIBDIR}/cmake/kel-safe")
endif()

# Consumers know the library as kel::safe, as inside this build.
set_target_properties(kel-safe PROPERTIES EXPORT_NAME safe)

install(TARGETS kel-safe EXPORT kel-safe-targets
  LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}"
          COMPONENT runtime NAMELINK_COMPONENT development
  ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT development
  RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT runtime)
install(DIRECTORY "${PROJECT_SOURCE_DIR}/include/kel"
  DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}" COMPONENT development
  FILES_MATCHING PATTERN "*.h")

install(EXPORT kel-safe-targets
  NAMESPACE kel::
  FILE kel-safe-targets.cmake
  DESTINATION "${kel_cmake_dir}" COMPONENT development)
configure_package_config_file(
  "${CMAKE_CURRENT_LIST_DIR}/kel-safe-config.cmake.in"
  "${PROJECT_BINARY_DIR}/kel-safe-config.cmake"
  INSTALL_DESTINATION "${kel_cmake_dir}")
# The ABI follows the SONAME: any 1.x satisfies a request for 1.y with y <= x.
write_basic_package_version_file(
  "${PROJECT_BINARY_DIR}/kel-safe-config-version.cmake"
  VERSION "${PROJECT_VERSION}"
  COMPATIBILITY SameMajorVersion)
install(FILES
  "${PROJECT_BINARY_DIR}/kel-safe-config.cmake"
  "${PROJECT_BINARY_DIR}/kel-safe-config-version.cmake"
  DESTINATION "${kel_cmake_dir}" COMPONENT development)

# pkg-config: the file names the prefix it was installed to, known only when
# installing (cmake --install --prefix, CPack's /usr), so it is written then.
foreach(kind LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
    set(kel_safe_pc_${kind} "${CMAKE_INSTALL_${kind}}")
  else()
    set(kel_safe_pc_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
  endif()
endforeach()
install(CODE "
  set(KEL_SAFE_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  set(KEL_SAFE_PC_LIBDIR [==[${kel_safe_pc_LIBDIR}]==])
  set(KEL_SAFE_PC_INCLUDEDIR [==[${kel_safe_pc_INCLUDEDIR}]==])
  set(PROJECT_DESCRIPTION [==[${PROJECT_DESCRIPTION}]==])
  set(PROJECT_VERSION [==[${PROJECT_VERSION}]==])
  configure_file([==[${CMAKE_CURRENT_LIST_DIR}/kel-safe.pc.in]==]
                 [==[${PROJECT_BINARY_DIR}/kel-safe.pc]==] @ONLY)
" COMPONENT development)
install(FILES "${PROJECT_BINARY_DIR}/kel-safe.pc"
  DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig" COMPONENT development)

if(TARGET kel-safe-tool)
  # The tool finds the library in any prefix, and in the build tree beside
  # itself. It is linked with these paths from the start: CMake would
  # otherwise end the build tree's path with an empty entry, to make room
  # for the installed one, and the loader reads an empty entry as the
  # current directory, where anyone could have put a libcrypto.so.3.
  file(RELATIVE_PATH kel_safe_bin_to_lib
       "/prefix/${CMAKE_INSTALL_BINDIR}" "/prefix/${CMAKE_INSTALL_LIBDIR}")
  set_target_properties(kel-safe-tool PROPERTIES
    INSTALL_RPATH "\$ORIGIN/${kel_safe_bin_to_lib};\$ORIGIN"
    BUILD_WITH_INSTALL_RPATH ON)
  install(TARGETS kel-safe-tool
    RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT runtime)
  install(FILES "${PROJECT_SOURCE_DIR}/tools/kel-safe.1"
    DESTINATION "${CMAKE_INSTALL_MANDIR}/man1" COMPONENT runtime)
  # Completion scripts, where bash-completion, zsh and fish look for those
  # of installed programs.
  set(kel_safe_completion "${PROJECT_SOURCE_DIR}/tools/completion")
  install(FILES "${kel_safe_completion}/kel-safe.bash" RENAME kel-safe
    DESTINATION "${CMAKE_INSTALL_DATADIR}/bash-completion/completions" COMPONENT runtime)
  install(FILES "${kel_safe_completion}/_kel-safe"
    DESTINATION "${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions" COMPONENT runtime)
  install(FILES "${kel_safe_completion}/kel-safe.fish"
    DESTINATION "${CMAKE_INSTALL_DATADIR}/fish/vendor_completions.d" COMPONENT runtime)
endif()

# The licence: the full text, and Debian's machine-readable copyright file,
# which is where a .deb states its licence (with its SPDX identifier).
set(KEL_SAFE_LICENSE "Apache-2.0")
file(WRITE "${PROJECT_BINARY_DIR}/copyright"
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: kel-safe
License: ${KEL_SAFE_LICENSE}

Files: *
Copyright: kel-safe developers
License: ${KEL_SAFE_LICENSE}
 On Debian systems the full text of the Apache License 2.0 is in
 /usr/share/common-licenses/Apache-2.0; it is also installed beside this
 file as LICENSE.
")
install(FILES "${PROJECT_BINARY_DIR}/copyright" "${PROJECT_SOURCE_DIR}/LICENSE"
  DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/kel-safe" COMPONENT runtime)

# ---- Debian package -----------------------------------------------------------
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "kel-safe")
set(CPACK_PACKAGE_VENDOR "kel-safe developers")
set(CPACK_PACKAGE_CONTACT "kel-safe developers <kel-safe@localhost>")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "encrypted, password-protected store of named secrets")
set(CPACK_PACKAGE_DESCRIPTION
    "libkel-safe keeps named secrets in one encrypted, password-protected file\n\
that several processes may share. This package holds the shared library, its\n\
headers, CMake and pkg-config files, and the kel-safe command-line tool.\n\
License: Apache-2.0.")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# Dependencies from the binaries themselves (dpkg-shlibdeps, from dpkg-dev);
# the package's own library is found in the build tree.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${PROJECT_BINARY_DIR}")
# The shell loads libedit when it starts, which dpkg-shlibdeps cannot see.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libedit2")
# A shlibs file, and maintainer scripts that run ldconfig.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
include(CPack)

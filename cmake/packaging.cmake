# Packages made by CPack from the install rules: a Debian package on Linux,
# a ZIP from the Windows cross-build. scripts/package drives both.
set(CPACK_PACKAGE_NAME quelmora-ntp)
set(CPACK_PACKAGE_VENDOR "the quelmora-ntp authors")
set(CPACK_PACKAGE_CONTACT "quelmora-ntp authors <authors@quelmora-ntp.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "simple network time over UDP for host programs")
set(CPACK_PACKAGE_DESCRIPTION
  "A small shared library that runs an SNTP time server thread on a UDP port
of the host program's choosing, makes one-shot SNTP queries that hand the raw
48-byte reply back, and reports its state, statistics and last error, through
seven plain C functions. Comes with the quelmora-ntp command (serve, query,
version), a Python module, a CMake package and a pkg-config file.")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "ARM64")
    set(CPACK_PACKAGE_FILE_NAME "quelmora-ntp-${PROJECT_VERSION}-win-arm64")
  elseif(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(CPACK_PACKAGE_FILE_NAME "quelmora-ntp-${PROJECT_VERSION}-win32")
  else()
    set(CPACK_PACKAGE_FILE_NAME "quelmora-ntp-${PROJECT_VERSION}-win64")
  endif()
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Depends from what the binaries really link (dpkg-shlibdeps), and a shlibs
  # file so that packages built against the library depend on it in turn.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  if(CMAKE_CROSSCOMPILING)
    # dpkg names the machine's own architecture; dpkg-shlibdeps knows only
    # its packages, so a cross-built package takes its Depends from the
    # native one of the same sources (scripts/package passes it).
    set(QUELMORA_NTP_DEBIAN_ARCHITECTURE "" CACHE STRING "The Debian architecture of a cross-build")
    set(QUELMORA_NTP_DEBIAN_DEPENDS "" CACHE STRING "The Depends of a cross-built package")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "${QUELMORA_NTP_DEBIAN_ARCHITECTURE}")
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "${QUELMORA_NTP_DEBIAN_DEPENDS}")
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
  endif()
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS python3)
  # The ldconfig trigger replaces the ldconfig calls CPack would otherwise
  # write into postinst and postrm; ours compile and clean the Python module.
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${PROJECT_SOURCE_DIR}/packaging/debian/triggers"
    "${PROJECT_SOURCE_DIR}/packaging/debian/postinst"
    "${PROJECT_SOURCE_DIR}/packaging/debian/postrm")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

  if(QUELMORA_NTP_DEBIAN_PACKAGE)
    configure_file(packaging/debian/changelog.in "${PROJECT_BINARY_DIR}/debian/changelog" @ONLY)
    quelmora_ntp_gzip("${PROJECT_BINARY_DIR}/debian/changelog")
    install(FILES packaging/debian/copyright "${PROJECT_BINARY_DIR}/debian/changelog.gz"
      DESTINATION "${QUELMORA_NTP_DOC_DIR}")
  endif()
endif()

include(CPack)

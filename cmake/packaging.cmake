# The ZIP of the Windows cross-build, made by CPack from the install rules
# (scripts/package drives it).
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
  # The Debian packages are built by scripts/package with dpkg's own tools
  # (packaging/debian/), split as Debian splits a library; CPack's DEB
  # generator makes one package only. A tarball of the install is all
  # cpack makes here.
  set(CPACK_GENERATOR TGZ)
endif()

include(CPack)

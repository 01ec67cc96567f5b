# What `cmake --install` puts under a prefix: the library and its header, a
# CMake package (quelmora_ntp::quelmora_ntp), a pkg-config file, the Python
# module, the manual pages and the documents. Tests, benchmarks and examples
# are never installed. Two components, as a distribution splits them:
# Runtime, what programs need to run (the shared library or DLL, the
# command, the Python module that loads the library, the documents), and
# Development, what building against the library needs (the header, the
# .so link or import library or static archive, the CMake package, the
# pkg-config file, the functions' manual pages).
include(CMakePackageConfigHelpers)

# A build folder in which only some targets were built (scripts/demo builds
# the command alone) must not give half an install: before the first file
# is copied, every built file that the install takes must be there.
set(quelmora_ntp_built "$<TARGET_FILE:quelmora_ntp>")
if(WIN32)
  list(APPEND quelmora_ntp_built "$<TARGET_LINKER_FILE:quelmora_ntp>")
endif()
if(QUELMORA_NTP_CLI)  # found or not, known only once cli/ is read
  list(APPEND quelmora_ntp_built "$<$<TARGET_EXISTS:quelmora-ntp>:$<TARGET_FILE:quelmora-ntp>>")
endif()
# Each component checks, as an install may take either alone.
foreach(component Runtime Development)
  install(CODE "
    foreach(file \"$<JOIN:${quelmora_ntp_built},\" \">\")
      if(file AND NOT EXISTS \"\${file}\")
        message(FATAL_ERROR \"Nothing installed: this build has no \${file} yet. \"
          \"Build it first: cmake --build ${CMAKE_BINARY_DIR}\")
      endif()
    endforeach()" COMPONENT ${component})
endforeach()

# Builds SOURCE.gz as Debian wants documents compressed (-9, and -n: no name
# or time stamp, so that builds are reproducible); when CMake configures, so
# that an install needs nothing built but the binaries.
function(quelmora_ntp_gzip source)
  execute_process(COMMAND gzip -9n -c "${source}" OUTPUT_FILE "${source}.gz" RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip ${source}: ${failed}")
  endif()
endfunction()

option(QUELMORA_NTP_DEBIAN_PACKAGE "Lay the install out for the Debian package" OFF)

set(QUELMORA_NTP_CMAKE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/quelmora_ntp" CACHE PATH
  "Where the CMake package goes, relative to the prefix")
if(WIN32)
  # A ZIP is unpacked anywhere: its licence and read-me sit at its top.
  set(QUELMORA_NTP_DOC_DIR ".")
elseif(QUELMORA_NTP_TOP_LEVEL)
  set(QUELMORA_NTP_DOC_DIR "${CMAKE_INSTALL_DOCDIR}")
else()
  # A host's own DOCDIR is named after the host.
  set(QUELMORA_NTP_DOC_DIR "${CMAKE_INSTALL_DATAROOTDIR}/doc/quelmora-ntp")
endif()
if(NOT WIN32)
  # Debian's own Python path, not Python's site path, which may point into
  # /usr/local.
  set(QUELMORA_NTP_PYTHON_DIR "lib/python3/dist-packages" CACHE PATH
    "Where the Python module goes, relative to the prefix")
endif()

install(TARGETS quelmora_ntp EXPORT quelmora_ntp_targets
  RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT Runtime
  LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT Runtime
    NAMELINK_COMPONENT Development
  ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT Development)
install(FILES include/quelmora_ntp.h DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}"
  COMPONENT Development)

# A static archive's own dependencies come with it to the program that links
# it: the CMake target names them, so its package finds them first.
if(NOT QUELMORA_NTP_SHARED AND NOT WIN32)
  set(QUELMORA_NTP_FIND_DEPENDENCIES "include(CMakeFindDependencyMacro)\nfind_dependency(Threads)")
endif()
configure_file(cmake/quelmora_ntpConfig.cmake.in "${PROJECT_BINARY_DIR}/quelmora_ntpConfig.cmake" @ONLY)
install(EXPORT quelmora_ntp_targets
  NAMESPACE quelmora_ntp::
  FILE quelmora_ntpTargets.cmake
  DESTINATION "${QUELMORA_NTP_CMAKE_DIR}"
  COMPONENT Development)
write_basic_package_version_file(
  "${PROJECT_BINARY_DIR}/quelmora_ntpConfigVersion.cmake"
  COMPATIBILITY SameMajorVersion)
install(FILES "${PROJECT_BINARY_DIR}/quelmora_ntpConfig.cmake"
  "${PROJECT_BINARY_DIR}/quelmora_ntpConfigVersion.cmake"
  DESTINATION "${QUELMORA_NTP_CMAKE_DIR}" COMPONENT Development)

if(WIN32)
  # The export list, for hosts that make their own import library.
  install(FILES src/quelmora_ntp.def DESTINATION "${CMAKE_INSTALL_LIBDIR}"
    COMPONENT Development)
  if(QUELMORA_NTP_LINKER_PDB)
    # The debugger's symbols beside the DLL, where the toolchain's linker
    # writes a PDB (lld does; GNU ld cannot).
    install(FILES "$<TARGET_FILE_DIR:quelmora_ntp>/quelmora_ntp.pdb" DESTINATION "${CMAKE_INSTALL_BINDIR}"
      COMPONENT Runtime)
  endif()
else()
  # The .pc file finds the prefix from its own place, so that a prefix can be
  # installed anywhere (cmake --install --prefix X) and still be right.
  file(RELATIVE_PATH QUELMORA_NTP_PC_TO_PREFIX
    "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
  if(NOT QUELMORA_NTP_SHARED)
    set(QUELMORA_NTP_PC_CFLAGS " -DQUELMORA_NTP_STATIC")
  endif()
  configure_file(cmake/quelmora-ntp.pc.in "${PROJECT_BINARY_DIR}/quelmora-ntp.pc" @ONLY)
  install(FILES "${PROJECT_BINARY_DIR}/quelmora-ntp.pc"
    DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig" COMPONENT Development)
endif()
if(NOT WIN32 AND QUELMORA_NTP_SHARED)
  # The package without a library of its own: it loads the system's.
  install(FILES python/quelmora_ntp/__init__.py python/quelmora_ntp/py.typed
    DESTINATION "${QUELMORA_NTP_PYTHON_DIR}/quelmora_ntp" COMPONENT Runtime)
endif()

install(FILES README.md DESTINATION "${QUELMORA_NTP_DOC_DIR}" COMPONENT Runtime)
# Beside the read-me, whose links point into it.
install(DIRECTORY docs/ DESTINATION "${QUELMORA_NTP_DOC_DIR}/docs" COMPONENT Runtime)

if(NOT WIN32)
  # Section 3: an overview and a page per function; a function described on
  # a related one's page has a .so link to it, as Debian allows.
  foreach(page quelmora_ntp ntp_start ntp_stop ntp_status ntp_query ntp_stats ntp_last_error ntp_version)
    set(manual "${PROJECT_BINARY_DIR}/man/${page}.3")
    if(EXISTS "${PROJECT_SOURCE_DIR}/man/${page}.3.in")
      configure_file("man/${page}.3.in" "${manual}" @ONLY)
    else()
      configure_file("man/${page}.3" "${manual}" COPYONLY)
    endif()
    quelmora_ntp_gzip("${manual}")
    install(FILES "${manual}.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man3"
      COMPONENT Development)
  endforeach()
endif()
if(NOT QUELMORA_NTP_DEBIAN_PACKAGE)
  # Debian carries the licence as the package's copyright file instead.
  install(FILES LICENSE DESTINATION "${QUELMORA_NTP_DOC_DIR}" COMPONENT Runtime)
endif()

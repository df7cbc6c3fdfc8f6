# Release bundles, made by cpack from the install of one build tree
# (scripts/release.sh runs it for release, win32 and win64):
#   Windows  kavtel-<version>-win32.zip / -win64.zip: the DLL, both import
#            libraries, kavtel.def, the headers, kavtelctl.exe, the CMake
#            package and kavtel.pc, with the README, the license and docs/
#            at the top of the bundle
#   Linux    kavtel-<version>-linux-<processor>.tar.gz and
#            kavtel_<version>-<release>_<arch>.deb: the same install (the
#            shared object with its SONAME links, the headers, the CMake
#            package, kavtel.pc, kavtelctl, kavtel-sim) and the README, the
#            license and docs/ in share/doc/kavtel; the package installs
#            under /usr.
# tests/bundles/check_bundles.py holds each bundle to its layout.

# The README links docs/ relatively; the docs keep that place beside it.
if(WIN32)
  set(KAVTEL_BUNDLE_DOCDIR .)
else()
  set(KAVTEL_BUNDLE_DOCDIR ${CMAKE_INSTALL_DOCDIR})
endif()
install(FILES README.md LICENSE DESTINATION ${KAVTEL_BUNDLE_DOCDIR})
install(DIRECTORY docs/ DESTINATION ${KAVTEL_BUNDLE_DOCDIR}/docs FILES_MATCHING PATTERN "*.md" PATTERN "*.json")
if(NOT WIN32)
  # Debian's tools read a package's licence from share/doc/<package>/copyright.
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)
endif()

set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_PACKAGE_NAME kavtel)
set(CPACK_PACKAGE_VENDOR "the kavtel developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Controls treadmills over serial ports through a flat C API")
set(CPACK_PACKAGE_DESCRIPTION [[
kavtel is the library a host application loads to control and monitor
treadmills over serial ports. The package holds the shared library, its
headers, CMake package and pkg-config file, the command-line host
kavtelctl and the virtual treadmill kavtel-sim.]])
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
# Each bundle unpacks into one folder named like the bundle.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)

if(WIN32)
  # One zip for each kind of host process: win32 for 32-bit, win64 for 64-bit.
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(KAVTEL_BUNDLE_SYSTEM win64)
  else()
    set(KAVTEL_BUNDLE_SYSTEM win32)
  endif()
  set(CPACK_GENERATOR ZIP)
else()
  string(TOLOWER "${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}" KAVTEL_BUNDLE_SYSTEM)
  set(CPACK_GENERATOR TGZ DEB)
endif()
set(CPACK_SYSTEM_NAME ${KAVTEL_BUNDLE_SYSTEM})
set(CPACK_PACKAGE_FILE_NAME kavtel-${PROJECT_VERSION}-${KAVTEL_BUNDLE_SYSTEM})

# The Debian package: one package, kavtel, for the library, its development
# files and the tools. Its file name, architecture (dpkg's own) and
# installed prefix (/usr) are cpack's Debian defaults; its run-time
# dependencies come from dpkg-shlibdeps, which reads the local package
# database only. The shlibs file it carries lets packages built against it
# depend on kavtel (>= the version they were built with), and ldconfig runs
# when it is installed.
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "kavtel developers")
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

# `make package_source` packs the checkout, never its build trees.
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_PACKAGE_FILE_NAME kavtel-${PROJECT_VERSION}-source)
set(CPACK_SOURCE_IGNORE_FILES "/build/" "/\\.git" "__pycache__" "\\.egg-info/")

include(CPack)

# How the tests of a Windows build start its programs under Wine.
#
# Each build runs its programs through the Wine loader of its own kind,
# called directly: the 64-bit loader for the x86-64 build, the 32-bit one
# for the i686 build. Debian's `wine` script would pick the 32-bit loader
# for every program whenever wine32 is installed, so a 64-bit test would
# fail on a machine that runs no 32-bit program although it could run.
#
# Some machines refuse every 32-bit x86 program ("Exec format error"). The
# i686 build finds that out once, when it is configured, by running its
# loader. There the build and the checks that execute nothing still run,
# and every test that would execute a 32-bit program is reported as skipped
# with the reason. KAVTEL_NO_32BIT=1 in the environment of the configure
# step gives the same answer on a machine that could run them, so that the
# skipping can be seen anywhere.
#
# Sets, for the rest of the tree:
#   KAVTEL_WINE_LOADER          the loader (cached: point it elsewhere if
#                               Wine lives elsewhere)
#   KAVTEL_WINE_SKIP_REASON     empty, or why this machine cannot run this
#                               build's programs (cached, internal: the test
#                               command reads it back for its summary)
#   CMAKE_CROSSCOMPILING_EMULATOR  the loader with WINELOADER set to it
# and defines kavtel_add_wine_test().

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(KAVTEL_WINE_LOADER /usr/lib/wine/wine64 CACHE FILEPATH "Wine loader of this build's programs")
else()
  set(KAVTEL_WINE_LOADER /usr/lib/wine/wine CACHE FILEPATH "Wine loader of this build's programs")
endif()

set(skip_reason "")
if(NOT CMAKE_SIZEOF_VOID_P EQUAL 8)
  if(NOT "$ENV{KAVTEL_NO_32BIT}" STREQUAL "" AND NOT "$ENV{KAVTEL_NO_32BIT}" STREQUAL "0")
    set(skip_reason "KAVTEL_NO_32BIT is set: taken as a machine that cannot run 32-bit x86 programs")
  elseif(NOT EXISTS "${KAVTEL_WINE_LOADER}")
    set(skip_reason "no 32-bit Wine loader at ${KAVTEL_WINE_LOADER} (package wine32:i386)")
  else()
    # A shell would take a program the kernel refuses for a script and
    # report a syntax error; the probe names the kernel's own answer.
    find_package(Python3 COMPONENTS Interpreter REQUIRED)
    execute_process(COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/probe_loader.py "${KAVTEL_WINE_LOADER}"
      RESULT_VARIABLE probe_result OUTPUT_VARIABLE probe_said OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT probe_result STREQUAL "0")
      set(skip_reason "this machine cannot run 32-bit x86 programs (${KAVTEL_WINE_LOADER}: ${probe_said})")
    endif()
  endif()
endif()
set(KAVTEL_WINE_SKIP_REASON "${skip_reason}" CACHE INTERNAL "Why this build's programs cannot run here" FORCE)
if(skip_reason)
  message(STATUS "Tests that execute this build's programs are skipped: ${skip_reason}")
else()
  message(STATUS "Tests of this build run under ${KAVTEL_WINE_LOADER}")
endif()

# Every target made from here on runs under the loader (ctest and the
# target's CROSSCOMPILING_EMULATOR take it from this variable).
set(CMAKE_CROSSCOMPILING_EMULATOR
  ${CMAKE_COMMAND} -E env WINELOADER=${KAVTEL_WINE_LOADER} ${KAVTEL_WINE_LOADER})

# kavtel_add_wine_test(NAME COMMAND command...)
# A test that executes a program of this build under Wine. The drivers
# find the loader in KAVTEL_WINE_LOADER. On a machine that cannot run the
# build's programs the test is registered as one that only says why, and
# ctest reports it as skipped.
function(kavtel_add_wine_test name)
  cmake_parse_arguments(W "" "" "COMMAND" ${ARGN})
  if(KAVTEL_WINE_SKIP_REASON)
    add_test(NAME ${name} COMMAND ${CMAKE_COMMAND} -E echo "not run: ${KAVTEL_WINE_SKIP_REASON}")
    set_tests_properties(${name} PROPERTIES SKIP_REGULAR_EXPRESSION "^not run: ")
  else()
    add_test(NAME ${name} COMMAND ${W_COMMAND})
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "KAVTEL_WINE_LOADER=${KAVTEL_WINE_LOADER}")
  endif()
endfunction()

# Writes the definition file of kavtel.lib, the import library for Visual
# C++ hosts: every name kavtel.def exports, a function as name@N with N the
# bytes of its stdcall arguments (from its prototype in kavtel.h), data
# unchanged. llvm-dlltool -m i386 -k then gives each function the decorated
# symbol a caller references (_kavtelopenPort@4) importing the plain name.
# A name of kavtel.def without a prototype, or an argument type whose size
# is unknown here, stops the build.
#
# cmake -DDEF=kavtel.def -DHEADER=kavtel.h -DOUTPUT=<decorated.def> -P decorated_def.cmake

# The bytes one argument takes on the 32-bit stack.
function(argument_bytes declaration out)
  string(STRIP "${declaration}" declaration)
  if(declaration MATCHES "\\*")
    set(${out} 4 PARENT_SCOPE)
  elseif(declaration MATCHES "^(const )?double( |$)")
    set(${out} 8 PARENT_SCOPE)
  elseif(declaration MATCHES "^(const )?(unsigned )?(int|long|short|char)( |$)")
    set(${out} 4 PARENT_SCOPE)
  else()
    message(FATAL_ERROR "${HEADER}: no stack size known for the argument '${declaration}'")
  endif()
endfunction()

file(READ "${HEADER}" header)
# Prototypes may wrap: join the lines first.
string(REGEX REPLACE "[\r\n]+[ \t]*" " " header "${header}")
string(REGEX MATCHALL "KAVTEL_API [A-Za-z_ ]+ KAVTEL_CALL [A-Za-z_0-9]+ ?\\([^)]*\\)" prototypes "${header}")
foreach(prototype IN LISTS prototypes)
  string(REGEX MATCH "KAVTEL_CALL ([A-Za-z_0-9]+) ?\\(([^)]*)\\)" _ "${prototype}")
  set(name "${CMAKE_MATCH_1}")
  set(arguments "${CMAKE_MATCH_2}")
  set(bytes 0)
  string(STRIP "${arguments}" arguments)
  if(NOT arguments STREQUAL "void" AND NOT arguments STREQUAL "")
    string(REPLACE "," ";" arguments "${arguments}")
    foreach(argument IN LISTS arguments)
      argument_bytes("${argument}" size)
      math(EXPR bytes "${bytes} + ${size}")
    endforeach()
  endif()
  set(stack_bytes_${name} ${bytes})
endforeach()

file(STRINGS "${DEF}" lines)
set(text "; Generated from kavtel.def and kavtel.h: the decorated names of the flat functions.\n")
set(in_exports FALSE)
foreach(line IN LISTS lines)
  string(REGEX REPLACE ";.*" "" line "${line}")
  string(STRIP "${line}" line)
  if(line STREQUAL "")
    continue()
  elseif(line MATCHES "^LIBRARY")
    string(APPEND text "${line}\n")
  elseif(line STREQUAL "EXPORTS")
    string(APPEND text "EXPORTS\n")
    set(in_exports TRUE)
  elseif(in_exports AND line MATCHES "^([A-Za-z_0-9]+) +DATA$")
    string(APPEND text "  ${line}\n")
  elseif(in_exports AND line MATCHES "^[A-Za-z_0-9]+$")
    if(NOT DEFINED stack_bytes_${line})
      message(FATAL_ERROR "${DEF} exports ${line}, which ${HEADER} does not declare")
    endif()
    string(APPEND text "  ${line}@${stack_bytes_${line}}\n")
  else()
    message(FATAL_ERROR "${DEF}: cannot read '${line}'")
  endif()
endforeach()
file(WRITE "${OUTPUT}" "${text}")

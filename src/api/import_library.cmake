# Writes kavtel.dll's import library for MinGW hosts from the export list
# the linker wrote (-Wl,--output-def). The DLL exports its stdcall functions
# under plain names (--kill-at); a host's compiler still calls them by their
# decorated names (_kavtelopenPort@4), so the import library must carry the
# decorated symbols and import the plain names. The linker's own import
# library carries the plain symbols only, hence this step.
#
# cmake -DEXPORTS=<linker.def> -DDLL=kavtel.dll -DLIB=<import lib> -DDLLTOOL=<dlltool> -P import_library.cmake
file(READ "${EXPORTS}" text)
# "kavtelopenPort = kavtelopenPort@4 @3" -> "kavtelopenPort@4 @3"
string(REGEX REPLACE "([A-Za-z_0-9]+) = ([A-Za-z_0-9]+@[0-9]+)" "\\2" text "${text}")
get_filename_component(dir "${LIB}" DIRECTORY)
set(decorated "${dir}/kavtel-decorated.def")
file(WRITE "${decorated}" "${text}")
execute_process(
  COMMAND "${DLLTOOL}" --input-def "${decorated}" --dllname "${DLL}" --output-lib "${LIB}" --kill-at
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "dlltool failed (${rc})")
endif()

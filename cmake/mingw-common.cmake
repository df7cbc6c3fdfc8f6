# What both MinGW-w64 cross builds share; the toolchain file that includes
# this sets CMAKE_SYSTEM_PROCESSOR first (i686 or x86_64). The -posix
# variants carry std::thread and std::mutex (GoogleTest needs them).
set(CMAKE_SYSTEM_NAME Windows)
set(kavtel_mingw_triple ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32)

set(CMAKE_C_COMPILER ${kavtel_mingw_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${kavtel_mingw_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${kavtel_mingw_triple}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${kavtel_mingw_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Nothing we build may depend on a MinGW runtime DLL.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# The Wine loader that runs the test executables is chosen in
# WineTests.cmake, by the build's kind.

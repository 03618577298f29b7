# Second compiler: Debian's clang building the same 64-bit Windows programs
# against the mingw-w64 headers and import libraries and gcc's posix-model
# C++ runtime (libstdc++ and winpthreads), linked statically like the gcc build.
# clang cannot find that runtime by itself: its MinGW driver only accepts gcc
# folders named by a plain version number, and Debian's is "12-posix".
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_triple x86_64-w64-mingw32)
set(QEB_CLANG_SUFFIX "-14" CACHE STRING "Version suffix of the clang executables")
set(CMAKE_C_COMPILER   clang${QEB_CLANG_SUFFIX})
set(CMAKE_CXX_COMPILER clang++${QEB_CLANG_SUFFIX})
set(CMAKE_C_COMPILER_TARGET   ${_triple})
set(CMAKE_CXX_COMPILER_TARGET ${_triple})
set(CMAKE_RC_COMPILER ${_triple}-windres)
# The sysroot keeps the host's /usr/include and /usr/lib off the search paths.
set(CMAKE_SYSROOT /usr/${_triple})

# gcc's folder for the posix thread model (12-posix on Debian 12).
file(GLOB _gcc_dirs LIST_DIRECTORIES true /usr/lib/gcc/${_triple}/*-posix)
list(SORT _gcc_dirs COMPARE NATURAL ORDER DESCENDING)
list(GET _gcc_dirs 0 _gcc_dir)
if(NOT IS_DIRECTORY "${_gcc_dir}/include/c++")
  message(FATAL_ERROR "No posix-model mingw-w64 gcc found under /usr/lib/gcc/${_triple} (g++-mingw-w64-x86-64-posix)")
endif()
set(CMAKE_CXX_FLAGS_INIT
    "-isystem ${_gcc_dir}/include/c++ -isystem ${_gcc_dir}/include/c++/${_triple} -isystem ${_gcc_dir}/include/c++/backward")
# -pthread puts winpthreads into the static link group, after libgcc_eh,
# which needs it (the gcc driver's posix specs do the same).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-pthread -L${_gcc_dir}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-pthread -L${_gcc_dir}")

set(CMAKE_FIND_ROOT_PATH /usr/${_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static Linux programs against musl, for the architecture SFX_MUSL_ARCH
# (x86_64 or aarch64) that the including toolchain file names: Debian's gcc
# for that architecture with the specs file of musl's Debian package, which
# puts musl's headers, start files and libc.a in place of glibc's.
# SFX_MUSL_SPECS names the specs file (default: musl-dev's for this machine).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${SFX_MUSL_ARCH})
set(CMAKE_C_COMPILER ${SFX_MUSL_ARCH}-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER ${SFX_MUSL_ARCH}-linux-gnu-g++)
if(NOT SFX_MUSL_SPECS)
  set(SFX_MUSL_SPECS /usr/lib/${SFX_MUSL_ARCH}-linux-musl/musl-gcc.specs)
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES SFX_MUSL_SPECS)

# The specs' -nostdinc drops libstdc++'s header folders along with glibc's;
# they come back ahead of musl's, so that <cstdio> finds musl's <stdio.h>.
if(NOT SFX_MUSL_CXX_INCLUDES)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -x c++ -E -v /dev/null
                  OUTPUT_QUIET ERROR_VARIABLE search RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${CMAKE_CXX_COMPILER} does not run (install g++ for ${SFX_MUSL_ARCH})")
  endif()
  string(REGEX MATCH "search starts here:\n(.*)\nEnd of search list" search "${search}")
  string(REGEX MATCHALL "[^ \n]*c\\+\\+[^ \n]*" folders "${CMAKE_MATCH_1}")
  set(SFX_MUSL_CXX_INCLUDES "")
  foreach(folder IN LISTS folders)
    string(APPEND SFX_MUSL_CXX_INCLUDES " -isystem ${folder}")
  endforeach()
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES SFX_MUSL_CXX_INCLUDES)

set(CMAKE_C_FLAGS_INIT "-specs=${SFX_MUSL_SPECS}")
set(CMAKE_CXX_FLAGS_INIT "-specs=${SFX_MUSL_SPECS}${SFX_MUSL_CXX_INCLUDES} -isystem ${CMAKE_CURRENT_LIST_DIR}/musl-include")
# A static musl program has no loader to write-protect its relocated data
# after start, so a RELRO segment would only cost padding: on arm64 up to
# 64 KiB, the page size that binaries must allow for there.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -Wl,-z,norelro")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

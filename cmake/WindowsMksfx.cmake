# Cross-builds mksfx.exe (x86-64 Windows, static) from the same sources in a
# build tree of its own, embedding the stubs this build made (every one that
# was built: the Linux x86-64 and arm64 stubs and both Windows stubs), and
# copies it next to them. Sets SFX_MKSFX_EXE (empty when not built).
include(ExternalProject)

set(SFX_MKSFX_EXE "")
if(NOT SFX_BUILD_WINDOWS_STUBS OR ENABLE_SANITIZERS)
  return()
endif()
if(NOT SFX_x86_64_MINGW_CXX)
  message(STATUS "No x86_64-w64-mingw32-g++: mksfx.exe is not built")
  return()
endif()

set(mksfx_exe_stubs -DSFX_STUB_LINUX=${SFX_STUB_LINUX})
# mksfx links the stub's code, and with it libdeflate's decompressor.
set(mksfx_exe_depends stub_x86_64 libdeflate_source)
foreach(variable SFX_STUB_LINUX_ARM64 SFX_STUB_i686 SFX_STUB_x86_64)
  if(${variable})
    list(APPEND mksfx_exe_stubs -D${variable}=${${variable}})
  endif()
endforeach()
foreach(target ${SFX_STUB_LINUX_TARGET} ${SFX_STUB_LINUX_ARM64_TARGET} stub_i686)
  if(TARGET ${target})
    list(APPEND mksfx_exe_depends ${target})
  endif()
endforeach()

ExternalProject_Add(mksfx_exe
  SOURCE_DIR ${CMAKE_SOURCE_DIR}
  BINARY_DIR ${CMAKE_BINARY_DIR}/windows-mksfx
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/x86_64-w64-mingw32.cmake
    -DCMAKE_BUILD_TYPE=Release
    -DSFX_MKSFX_ONLY=ON
    -DSFX_WERROR=${SFX_WERROR}
    -DSFX_LIBDEFLATE_SOURCE=${libdeflate_folder}
    ${mksfx_exe_stubs}
  BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target mksfx
  INSTALL_COMMAND ${CMAKE_COMMAND} -E copy <BINARY_DIR>/tools/mksfx/mksfx.exe ${CMAKE_BINARY_DIR}/mksfx.exe
  BUILD_ALWAYS ON
  BUILD_BYPRODUCTS ${CMAKE_BINARY_DIR}/mksfx.exe
  DEPENDS ${mksfx_exe_depends}
)
set(SFX_MKSFX_EXE ${CMAKE_BINARY_DIR}/mksfx.exe)

# Cross-builds sfxstub-win32.exe and sfxstub-win64.exe from the same sources,
# each in a build tree of its own, and copies them next to the Linux stub.
include(ExternalProject)

set(SFX_WINDOWS_STUBS "")
if(NOT SFX_BUILD_WINDOWS_STUBS OR ENABLE_SANITIZERS)
  return()
endif()

foreach(arch i686 x86_64)
  find_program(SFX_${arch}_MINGW_CXX ${arch}-w64-mingw32-g++)
  if(NOT SFX_${arch}_MINGW_CXX)
    message(STATUS "No ${arch}-w64-mingw32-g++: the ${arch} Windows stub is not built")
    continue()
  endif()
  if(arch STREQUAL "i686")
    set(stub_name sfxstub-win32.exe)
  else()
    set(stub_name sfxstub-win64.exe)
  endif()
  ExternalProject_Add(stub_${arch}
    SOURCE_DIR ${CMAKE_SOURCE_DIR}
    BINARY_DIR ${CMAKE_BINARY_DIR}/windows-${arch}
    CMAKE_ARGS
      -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/${arch}-w64-mingw32.cmake
      -DCMAKE_BUILD_TYPE=Release
      -DSFX_STUB_ONLY=ON
      -DSFX_WERROR=${SFX_WERROR}
    BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target sfxstub
    INSTALL_COMMAND ${CMAKE_COMMAND} -E copy <BINARY_DIR>/${stub_name} ${CMAKE_BINARY_DIR}/${stub_name}
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS ${CMAKE_BINARY_DIR}/${stub_name}
  )
  list(APPEND SFX_WINDOWS_STUBS ${CMAKE_BINARY_DIR}/${stub_name})
  set(SFX_STUB_${arch} ${CMAKE_BINARY_DIR}/${stub_name})
endforeach()

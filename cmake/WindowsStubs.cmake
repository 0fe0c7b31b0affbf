# Cross-builds sfxstub-win32.exe and sfxstub-win64.exe from the same sources,
# each in a build tree of its own, and copies them next to the Linux stub.
# SFX_WINE_ARCHES lists the stubs the end-to-end suites run under wine: win32
# (PE32, the 32-bit loader of Debian's wine32) and win64 (PE32+, wine64),
# each with SFX_WINE_STUB_<arch> and its one prefix for the whole test run,
# SFX_WINE_PREFIX_<arch>. Drive A is a link in the prefix: suites that point
# it at a folder of theirs take RESOURCE_LOCK wine_drive_a_<arch>.
include(ExternalProject)

set(SFX_WINDOWS_STUBS "")
set(SFX_WINE_ARCHES "")
if(NOT SFX_BUILD_WINDOWS_STUBS OR ENABLE_SANITIZERS)
  return()
endif()

# zlib's inflate and libdeflate's decompressor are compiled from Debian's
# sources with the build's own flags, as for the static Linux stubs: smaller
# than the -O3 of libz-mingw-w64-dev's libz.a.
sfx_debian_source(zlib)
sfx_debian_source(libdeflate)

foreach(arch i686 x86_64)
  find_program(SFX_${arch}_MINGW_CXX ${arch}-w64-mingw32-g++)
  if(NOT SFX_${arch}_MINGW_CXX)
    message(STATUS "No ${arch}-w64-mingw32-g++: the ${arch} Windows stub is not built")
    continue()
  endif()
  if(arch STREQUAL "i686")
    set(windows_arch win32)
    set(wine_loader /usr/lib/wine/wine)
  else()
    set(windows_arch win64)
    set(wine_loader /usr/lib/wine/wine64)
  endif()
  set(stub_name sfxstub-${windows_arch}.exe)
  ExternalProject_Add(stub_${arch}
    SOURCE_DIR ${CMAKE_SOURCE_DIR}
    BINARY_DIR ${CMAKE_BINARY_DIR}/windows-${arch}
    CMAKE_ARGS
      -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/${arch}-w64-mingw32.cmake
      -DCMAKE_BUILD_TYPE=Release
      -DSFX_STUB_ONLY=ON
      -DSFX_WERROR=${SFX_WERROR}
      -DSFX_ZLIB_SOURCE=${zlib_folder}
      -DSFX_LIBDEFLATE_SOURCE=${libdeflate_folder}
    BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target sfxstub
    INSTALL_COMMAND ${CMAKE_COMMAND} -E copy <BINARY_DIR>/${stub_name} ${CMAKE_BINARY_DIR}/${stub_name}
    DEPENDS zlib_source libdeflate_source
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS ${CMAKE_BINARY_DIR}/${stub_name}
  )
  list(APPEND SFX_WINDOWS_STUBS ${CMAKE_BINARY_DIR}/${stub_name})
  set(SFX_STUB_${arch} ${CMAKE_BINARY_DIR}/${stub_name})
  if(EXISTS ${wine_loader})
    list(APPEND SFX_WINE_ARCHES ${windows_arch})
    set(SFX_WINE_STUB_${windows_arch} ${CMAKE_BINARY_DIR}/${stub_name})
    set(SFX_WINE_PREFIX_${windows_arch} ${CMAKE_BINARY_DIR}/wine/${windows_arch})
  else()
    message(STATUS "No ${wine_loader}: ${stub_name} is not run under wine")
  endif()
endforeach()

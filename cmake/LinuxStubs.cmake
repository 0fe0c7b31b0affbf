# Builds the Linux stubs that ship: static programs against musl, which ask
# nothing of the C library of the machine they run on (the glibc build of
# sfxstub needs glibc 2.34). Each gets a build tree of its own and is copied
# next to the other stubs:
#   sfxstub-linux        x86-64, with musl-tools' musl
#   sfxstub-linux-arm64  cross-built with aarch64-linux-gnu-g++ against
#                        Debian's musl-dev:arm64, unpacked into the build tree
# Both link zlib, Nettle and libdeflate built from Debian's source packages
# (cmake/DebianSources.cmake); musl-dev:arm64, unless SFX_MUSL_ARM64_ROOT
# gives it, is fetched the same way.
#
# Sets SFX_STUB_LINUX (the x86-64 stub the tests run and mksfx embeds: the
# static one when it is built, else the glibc build) and SFX_STUB_LINUX_ARM64
# (empty when not built), and SFX_STUB_LINUX_TARGET and
# SFX_STUB_LINUX_ARM64_TARGET, the targets that make them.
include(ExternalProject)

set(SFX_STUB_LINUX $<TARGET_FILE:sfxstub>)
set(SFX_STUB_LINUX_TARGET sfxstub)
set(SFX_STUB_LINUX_ARM64 "")
set(SFX_STUB_LINUX_ARM64_TARGET "")
if(NOT SFX_BUILD_STATIC_STUBS OR ENABLE_SANITIZERS OR NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
  return()
endif()

set(SFX_MUSL_ARM64_ROOT "" CACHE PATH "Debian's musl-dev:arm64 unpacked (empty: fetch it)")
set(fetch ${SFX_FETCH_DEBIAN_PACKAGE})

if(NOT EXISTS /usr/lib/x86_64-linux-musl/musl-gcc.specs OR NOT CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  message(STATUS "No musl-tools: the static Linux stubs are not built; the tests use the glibc stub")
  return()
endif()

sfx_debian_source(zlib)
sfx_debian_source(nettle)
sfx_debian_source(libdeflate)

# One stub: arch, the file it is copied to, the toolchain file; then
# DEPENDS targets and ARGS, more -D arguments for its build.
function(sfx_add_static_stub arch stub_name toolchain)
  cmake_parse_arguments(PARSE_ARGV 3 stub "" "" "DEPENDS;ARGS")
  ExternalProject_Add(stub_linux_${arch}
    SOURCE_DIR ${CMAKE_SOURCE_DIR}
    BINARY_DIR ${CMAKE_BINARY_DIR}/linux-${arch}
    CMAKE_ARGS
      -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/${toolchain}
      -DCMAKE_BUILD_TYPE=Release
      -DSFX_STUB_ONLY=ON
      -DSFX_WERROR=${SFX_WERROR}
      -DSFX_ZLIB_SOURCE=${zlib_folder}
      -DSFX_NETTLE_SOURCE=${nettle_folder}
      -DSFX_LIBDEFLATE_SOURCE=${libdeflate_folder}
      ${stub_ARGS}
    BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target sfxstub
    INSTALL_COMMAND ${CMAKE_COMMAND} -E copy <BINARY_DIR>/sfxstub ${CMAKE_BINARY_DIR}/${stub_name}
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS ${CMAKE_BINARY_DIR}/${stub_name}
    DEPENDS zlib_source nettle_source libdeflate_source ${stub_DEPENDS}
  )
endfunction()

sfx_add_static_stub(x86_64 sfxstub-linux x86_64-linux-musl.cmake)
set(SFX_STUB_LINUX ${CMAKE_BINARY_DIR}/sfxstub-linux)
set(SFX_STUB_LINUX_TARGET stub_linux_x86_64)

find_program(SFX_AARCH64_GXX aarch64-linux-gnu-g++)
if(NOT SFX_AARCH64_GXX)
  message(STATUS "No aarch64-linux-gnu-g++: the Linux arm64 stub is not built")
  return()
endif()
# musl-gcc.specs names musl's folders as installed (/usr/...): pointed here
# into the unpacked package.
if(SFX_MUSL_ARM64_ROOT)
  set(musl_root ${SFX_MUSL_ARM64_ROOT})
  add_custom_target(musl_arm64)
else()
  set(musl_root ${SFX_DEBIAN_DOWNLOADS}/musl-dev-arm64)
  ExternalProject_Add(musl_arm64
    SOURCE_DIR ${musl_root}
    DOWNLOAD_COMMAND ${fetch} binary musl-dev:arm64 <SOURCE_DIR>
    CONFIGURE_COMMAND ""
    BUILD_COMMAND ""
    INSTALL_COMMAND ""
  )
endif()
set(musl_specs ${CMAKE_BINARY_DIR}/aarch64-linux-musl.specs)
add_custom_command(OUTPUT ${musl_specs}
  COMMAND ${CMAKE_COMMAND} -E copy ${musl_root}/usr/lib/aarch64-linux-musl/musl-gcc.specs ${musl_specs}
  COMMAND sed -i "s|/usr/|${musl_root}/usr/|g" ${musl_specs}
  DEPENDS musl_arm64
  COMMENT "Pointing the arm64 musl specs at ${musl_root}"
  VERBATIM)
add_custom_target(musl_arm64_specs DEPENDS ${musl_specs})
sfx_add_static_stub(aarch64 sfxstub-linux-arm64 aarch64-linux-musl.cmake
                    DEPENDS musl_arm64_specs ARGS -DSFX_MUSL_SPECS=${musl_specs})
set(SFX_STUB_LINUX_ARM64 ${CMAKE_BINARY_DIR}/sfxstub-linux-arm64)
set(SFX_STUB_LINUX_ARM64_TARGET stub_linux_aarch64)

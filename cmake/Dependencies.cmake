# The libraries the stub links statically, so that it runs where none of
# them is installed: zlib (streaming inflate), libdeflate (whole members)
# and, outside Windows, Nettle (AES members; Windows has CNG). Each
# function either compiles the library from a source folder given by its
# cache variable (the musl and Windows builds, which no installed archive
# suits) or finds Debian's static archive, and tells its caller what to link
# and include.

set(SFX_ZLIB_SOURCE "" CACHE PATH "Build zlib from this source folder instead of linking the installed libz.a")
set(SFX_LIBDEFLATE_SOURCE "" CACHE PATH "Build libdeflate's decompressor from this source folder instead of linking libdeflate.a")
set(SFX_NETTLE_SOURCE "" CACHE PATH "Build Nettle's AES, HMAC-SHA1 and PBKDF2 from this source folder")

# Sets SFX_ZLIB_STATIC and SFX_ZLIB_INCLUDE.
function(sfx_add_zlib)
  if(NOT SFX_ZLIB_SOURCE)
    find_library(SFX_ZLIB_STATIC NAMES libz.a REQUIRED)
    find_path(SFX_ZLIB_INCLUDE zlib.h REQUIRED)
    return()
  endif()
  # The inflate side only, at -O2: as fast as Debian's -O3 and 6 to 8 KiB
  # smaller.
  add_library(sfx_zlib STATIC
    ${SFX_ZLIB_SOURCE}/adler32.c ${SFX_ZLIB_SOURCE}/crc32.c ${SFX_ZLIB_SOURCE}/inffast.c
    ${SFX_ZLIB_SOURCE}/inflate.c ${SFX_ZLIB_SOURCE}/inftrees.c ${SFX_ZLIB_SOURCE}/zutil.c)
  # Raw deflate only: without the gzip wrapper inflate needs no crc32, and
  # where the stub has its own CRC-32 zlib's tables stay out.
  target_compile_options(sfx_zlib PRIVATE -O2 -ffunction-sections -fdata-sections)
  target_compile_definitions(sfx_zlib PRIVATE NO_GZIP)
  set(SFX_ZLIB_STATIC sfx_zlib PARENT_SCOPE)
  set(SFX_ZLIB_INCLUDE ${SFX_ZLIB_SOURCE} PARENT_SCOPE)
endfunction()

# The decompressor source for this target: the 32-bit Windows stub keeps
# one variant of the decoder, without the CPU dispatch.
function(sfx_libdeflate_files out_files)
  set(files lib/utils.c)
  set(decompressor ${SFX_LIBDEFLATE_SOURCE}/lib/deflate_decompress.c)
  if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(decompressor ${CMAKE_SOURCE_DIR}/cmake/libdeflate_single_variant.c)
  elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(i686|x86_64|AMD64)$")
    list(APPEND files lib/x86/cpu_features.c)
  elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
    list(APPEND files lib/arm/cpu_features.c)
  endif()
  list(TRANSFORM files PREPEND ${SFX_LIBDEFLATE_SOURCE}/)
  set(${out_files} ${decompressor} ${files} PARENT_SCOPE)
endfunction()

# Sets SFX_LIBDEFLATE_STATIC and SFX_LIBDEFLATE_INCLUDE.
function(sfx_add_libdeflate)
  if(NOT SFX_LIBDEFLATE_SOURCE)
    find_library(SFX_LIBDEFLATE_STATIC NAMES libdeflate.a REQUIRED)
    find_path(SFX_LIBDEFLATE_INCLUDE libdeflate.h REQUIRED)
    return()
  endif()
  sfx_libdeflate_files(libdeflate_sources)
  add_library(sfx_libdeflate STATIC ${libdeflate_sources})
  target_include_directories(sfx_libdeflate PUBLIC ${SFX_LIBDEFLATE_SOURCE})
  target_compile_options(sfx_libdeflate PRIVATE -O2 -ffunction-sections -fdata-sections
                         $<$<BOOL:${WIN32}>:-fno-asynchronous-unwind-tables>)
  # Building the Huffman tables of a small member's dynamic block copies a
  # table in doubling pieces: through musl's memcpy, a call each, 20,000
  # tiny members took 80 ms to decode; with the copies inline, 61 ms.
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(i686|x86_64|AMD64)$" AND CMAKE_C_COMPILER_ID STREQUAL "GNU")
    target_compile_options(sfx_libdeflate PRIVATE -minline-all-stringops)
  endif()
  set(SFX_LIBDEFLATE_STATIC sfx_libdeflate PARENT_SCOPE)
  set(SFX_LIBDEFLATE_INCLUDE ${SFX_LIBDEFLATE_SOURCE} PARENT_SCOPE)
endfunction()

# Sets SFX_CRYPTO_LIBRARIES and SFX_CRYPTO_INCLUDE. From source, the pieces
# the stub calls (AES encryption, HMAC-SHA1, PBKDF2) are compiled in C, as
# Nettle's configure does without assembly; <nettle/...> names that folder.
# A cross build finds the target's libnettle.a through its toolchain file's
# find-root path.
function(sfx_add_nettle)
  if(NOT SFX_NETTLE_SOURCE)
    find_library(SFX_NETTLE_STATIC NAMES libnettle.a REQUIRED)
    find_path(SFX_NETTLE_INCLUDE nettle/aes.h REQUIRED)
    set(SFX_CRYPTO_LIBRARIES ${SFX_NETTLE_STATIC} PARENT_SCOPE)
    set(SFX_CRYPTO_INCLUDE ${SFX_NETTLE_INCLUDE} PARENT_SCOPE)
    return()
  endif()
  set(files aes-encrypt-internal.c aes-encrypt-table.c aes-set-key-internal.c aes128-encrypt.c
      aes128-set-encrypt-key.c aes192-encrypt.c aes192-set-encrypt-key.c aes256-encrypt.c
      aes256-set-encrypt-key.c hmac.c hmac-sha1.c memxor.c pbkdf2.c pbkdf2-hmac-sha1.c sha1.c
      sha1-compress.c sha1-meta.c write-be32.c)
  list(TRANSFORM files PREPEND ${SFX_NETTLE_SOURCE}/)
  add_library(sfx_nettle STATIC ${files})
  target_compile_options(sfx_nettle PRIVATE -O2 -ffunction-sections -fdata-sections)
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/nettle-include)
  file(CREATE_LINK ${SFX_NETTLE_SOURCE} ${CMAKE_BINARY_DIR}/nettle-include/nettle SYMBOLIC)
  target_include_directories(sfx_nettle PRIVATE ${CMAKE_BINARY_DIR}/nettle-include)
  set(SFX_CRYPTO_LIBRARIES sfx_nettle PARENT_SCOPE)
  set(SFX_CRYPTO_INCLUDE ${CMAKE_BINARY_DIR}/nettle-include PARENT_SCOPE)
endfunction()

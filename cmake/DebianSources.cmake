# The source packages the cross and static stubs compile in: zlib, Nettle and
# libdeflate, each fetched once per build tree from the Debian archives apt
# is set up with (scripts/fetch-debian-package.sh), unless given as a folder
# (SFX_ZLIB_SOURCE_DIR, SFX_NETTLE_SOURCE_DIR, SFX_LIBDEFLATE_SOURCE_DIR).
#
# sfx_debian_source(name) makes the target name_source and sets name_folder.
include(ExternalProject)

set(SFX_DEBIAN_DOWNLOADS ${CMAKE_BINARY_DIR}/debian CACHE PATH "Where Debian packages are fetched and unpacked")
set(SFX_ZLIB_SOURCE_DIR "" CACHE PATH "zlib's source for the static and Windows stubs (empty: fetch Debian's zlib source)")
set(SFX_NETTLE_SOURCE_DIR "" CACHE PATH "Nettle's source for the static stubs (empty: fetch Debian's nettle source)")
set(SFX_LIBDEFLATE_SOURCE_DIR "" CACHE PATH "libdeflate's source for the static and Windows stubs (empty: fetch Debian's)")
set(SFX_FETCH_DEBIAN_PACKAGE bash ${CMAKE_SOURCE_DIR}/scripts/fetch-debian-package.sh)

function(sfx_debian_source name)
  string(TOUPPER ${name} upper)
  set(given "${SFX_${upper}_SOURCE_DIR}")
  if(given)
    set(${name}_folder ${given} PARENT_SCOPE)
  else()
    set(${name}_folder ${SFX_DEBIAN_DOWNLOADS}/${name} PARENT_SCOPE)
  endif()
  if(TARGET ${name}_source)
    return()
  endif()
  if(given)
    add_custom_target(${name}_source)
    return()
  endif()
  ExternalProject_Add(${name}_source
    SOURCE_DIR ${SFX_DEBIAN_DOWNLOADS}/${name}
    DOWNLOAD_COMMAND ${SFX_FETCH_DEBIAN_PACKAGE} source ${name} <SOURCE_DIR>
    CONFIGURE_COMMAND ""
    BUILD_COMMAND ""
    INSTALL_COMMAND ""
  )
endfunction()

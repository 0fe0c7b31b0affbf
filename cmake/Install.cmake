# What `cmake --install` puts under the prefix, and the Debian package CPack
# makes of it (cpack -G DEB):
#   bin/mksfx                      the builder, every stub of this build inside
#   lib/sfxstub/sfxstub-TARGET     each stub as a file, for cat or copy /b
#   share/man/man1/mksfx.1, sfxstub.1
#   share/doc/sfxstub/README.md    and docs/ beside it, so README's links lead to the pages
install(TARGETS mksfx RUNTIME DESTINATION bin)

set(sfx_installed_stubs ${SFX_STUB_LINUX_ARM64} ${SFX_STUB_i686} ${SFX_STUB_x86_64})
if(SFX_STUB_LINUX_TARGET STREQUAL "sfxstub")
  # No static stub in this build: the glibc one, under the same name.
  install(PROGRAMS $<TARGET_FILE:sfxstub> DESTINATION lib/sfxstub RENAME sfxstub-linux)
else()
  list(PREPEND sfx_installed_stubs ${SFX_STUB_LINUX})
endif()
install(PROGRAMS ${sfx_installed_stubs} DESTINATION lib/sfxstub)
install(FILES docs/man/mksfx.1 docs/man/sfxstub.1 DESTINATION share/man/man1)
install(FILES README.md DESTINATION share/doc/sfxstub)
install(FILES docs/installer.md docs/mksfx.md docs/performance.md docs/performance.png docs/reliability.md
        DESTINATION share/doc/sfxstub/docs)

set(CPACK_PACKAGE_NAME sfxstub)
set(CPACK_PACKAGE_VENDOR "sfxstub developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "self-extracting zip archive stubs and their builder, mksfx")
set(CPACK_PACKAGE_DESCRIPTION "mksfx turns a folder, or an existing zip archive, into a program that extracts itself: for Linux x86-64 and arm64 (static, no C library needed) and 32- and 64-bit Windows consoles. Members may be enciphered with AES-256 (or the traditional zip cipher); Zip64 archives (past 4 GiB or 65535 members), symbolic links and sets spanned over floppy disks are supported, and an installer can extract into a chosen or temporary folder and run a program afterwards.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "sfxstub developers <sfxstub@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# mksfx's own libraries (libc6, libstdc++6, libgcc-s1), as dpkg-shlibdeps finds them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)

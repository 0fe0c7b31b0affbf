# Cross-builds the static Linux arm64 stub with Debian's aarch64-linux-gnu-g++
# against Debian's arm64 musl (SFX_MUSL_SPECS: the specs file of musl-dev:arm64,
# unpacked, with its paths pointing into the unpacked folder).
set(SFX_MUSL_ARCH aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-musl.cmake)

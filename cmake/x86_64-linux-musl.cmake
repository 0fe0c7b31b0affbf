# Builds the static Linux x86-64 stub against musl-tools' musl.
set(SFX_MUSL_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-musl.cmake)

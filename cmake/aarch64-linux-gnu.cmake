# Cross build for 64-bit ARM Linux (crossbuild-essential-arm64); tests run
# under qemu-aarch64; packages are for Debian's arm64.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(PMSENSOR_TRIPLET aarch64-linux-gnu)
set(PMSENSOR_QEMU qemu-aarch64)
set(PMSENSOR_DEB_ARCH arm64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)

# Cross build for 32-bit ARM Linux, ARMv7 with hardware floating point
# (crossbuild-essential-armhf); tests run under qemu-arm; packages are for
# Debian's armhf.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(PMSENSOR_TRIPLET arm-linux-gnueabihf)
set(PMSENSOR_QEMU qemu-arm)
set(PMSENSOR_DEB_ARCH armhf)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)

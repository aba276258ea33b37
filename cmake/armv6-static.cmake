# Cross build for 32-bit ARM Linux that runs on every Raspberry Pi: ARMv6 code
# (the Pi 1, Zero and Zero W's ARM1176 and every later core) from Debian's
# armel cross compiler (crossbuild-essential-armel), linked statically so that
# it needs nothing of the board's C library, armel, armhf or Raspberry Pi OS's.
# Tests run under qemu-arm as an ARM1176; packages are for armhf, the
# architecture of every 32-bit system a Pi runs.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(PMSENSOR_TRIPLET arm-linux-gnueabi)
set(PMSENSOR_QEMU qemu-arm -cpu arm1176)
set(PMSENSOR_DEB_ARCH armhf)
set(PMSENSOR_STATIC_ONLY ON)
set(CMAKE_C_FLAGS_INIT "-march=armv6 -marm")
set(CMAKE_CXX_FLAGS_INIT "-march=armv6 -marm")
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)

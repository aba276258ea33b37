# Cross build with Debian's cross compiler for PMSENSOR_TRIPLET (set by the
# toolchain file that includes this one); tests run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${PMSENSOR_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${PMSENSOR_TRIPLET}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${PMSENSOR_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The target's dynamic loader and libraries come from the cross sysroot.
set(CMAKE_CROSSCOMPILING_EMULATOR ${PMSENSOR_QEMU} -L /usr/${PMSENSOR_TRIPLET})

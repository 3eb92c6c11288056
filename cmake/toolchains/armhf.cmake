# 32-bit ARM with hardware floating point (ARMv7), Debian's g++-arm-linux-gnueabihf;
# see debian-cross.cmake.
set(GDI_CROSS_TRIPLE arm-linux-gnueabihf)
set(GDI_CROSS_PROCESSOR arm)
set(GDI_CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)

# 64-bit ARM (aarch64), Debian's g++-aarch64-linux-gnu; see debian-cross.cmake.
set(GDI_CROSS_TRIPLE aarch64-linux-gnu)
set(GDI_CROSS_PROCESSOR aarch64)
set(GDI_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)

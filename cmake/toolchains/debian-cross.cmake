# Shared part of the Debian cross toolchains (included by arm64.cmake and armhf.cmake,
# which set GDI_CROSS_TRIPLE, GDI_CROSS_PROCESSOR and GDI_CROSS_QEMU first).
#
# Debian's cross compiler (g++-<triple>) brings its own C and C++ libraries; the other
# libraries the project links (libcups, libcupsimage, JBIG-KIT, libpng, GoogleTest) come
# from GDI_CROSS_SYSROOT: a folder with the target's Debian library packages unpacked
# into it and GoogleTest built for the target below usr/local (scripts/cross-test.sh
# makes it). Tests run under qemu-user with that folder as the target's root, so the
# loader, the C library and every other library come from one set of packages.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${GDI_CROSS_PROCESSOR})
set(CMAKE_LIBRARY_ARCHITECTURE ${GDI_CROSS_TRIPLE})

set(CMAKE_C_COMPILER ${GDI_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${GDI_CROSS_TRIPLE}-g++)

if(NOT GDI_CROSS_SYSROOT AND DEFINED ENV{GDI_CROSS_SYSROOT})
  set(GDI_CROSS_SYSROOT $ENV{GDI_CROSS_SYSROOT})
endif()
if(NOT GDI_CROSS_SYSROOT)
  message(FATAL_ERROR "GDI_CROSS_SYSROOT is not set: the folder with the target's libraries "
                      "(scripts/cross-test.sh ${GDI_CROSS_PROCESSOR} makes one)")
endif()
# try_compile projects get the same settings.
set(ENV{GDI_CROSS_SYSROOT} ${GDI_CROSS_SYSROOT})
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES GDI_CROSS_SYSROOT)

# Libraries, headers and packages only from the target's folder, programs from the host.
set(CMAKE_FIND_ROOT_PATH ${GDI_CROSS_SYSROOT} ${GDI_CROSS_SYSROOT}/usr/local)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The libraries that libcups and the others need in turn are found in the folder too.
set(GDI_CROSS_LINK_FLAGS
    "-Wl,-rpath-link,${GDI_CROSS_SYSROOT}/lib/${GDI_CROSS_TRIPLE}"
    "-Wl,-rpath-link,${GDI_CROSS_SYSROOT}/usr/lib/${GDI_CROSS_TRIPLE}")
string(JOIN " " GDI_CROSS_LINK_FLAGS ${GDI_CROSS_LINK_FLAGS})
set(CMAKE_EXE_LINKER_FLAGS_INIT "${GDI_CROSS_LINK_FLAGS}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${GDI_CROSS_LINK_FLAGS}")

# Test programs run in qemu-user with the folder as their root (-L).
set(CMAKE_CROSSCOMPILING_EMULATOR ${GDI_CROSS_QEMU};-L;${GDI_CROSS_SYSROOT})

# pkg-config looks only at the target's folder: the host's .pc files (PAPPL's, say) name
# libraries the target does not have. A library only the host has is then not found,
# and what needs it (the printer application) is left out of the cross build.
set(ENV{PKG_CONFIG_LIBDIR}
    "${GDI_CROSS_SYSROOT}/usr/lib/${GDI_CROSS_TRIPLE}/pkgconfig:${GDI_CROSS_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${GDI_CROSS_SYSROOT}")
set(ENV{PKG_CONFIG_PATH} "")

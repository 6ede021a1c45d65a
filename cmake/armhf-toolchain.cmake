# Cross build for the board: 32-bit ARM hard-float with Debian's cross
# compiler (g++-arm-linux-gnueabihf). Libraries and their CMake and pkg-config
# files come from Debian's multiarch ":armhf" packages under
# /usr/lib/arm-linux-gnueabihf; tests run under user-mode emulation.
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# Debian's architecture name, for the hardening flags and the package.
set(ORVEL_DEB_ARCH armhf)

# No cross pkg-config: point the host one at the armhf .pc files only.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Plain qemu-arm, without -L: the guest's loader then takes the multiarch
# libraries; a sysroot prefix would mix two builds of the C library.
find_program(ORVEL_QEMU_ARM qemu-arm)
if(ORVEL_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ORVEL_QEMU_ARM})
endif()

# Programs (the compilers' helpers) from the host; everything else for armhf.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# GCC notes that passing some types changed in GCC 7.1; every part of the
# program is built by the same compiler, so the note says nothing here.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")

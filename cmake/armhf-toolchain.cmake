# Cross build for the board: 32-bit ARM hard-float with Debian's cross
# compiler (g++-arm-linux-gnueabihf) against the board's own sysroot, made by
# scripts/sysroot.sh from the base suite (default build-armhf-sysroot/ beside
# the build folders; ORVEL_ARMHF_SYSROOT names another). The compiler links
# with its own libc and libstdc++; the sysroot gives every other library and
# header, and what the programs run against under the emulator.
#   bash scripts/sysroot.sh
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# Debian's architecture name, for the hardening flags and the package.
set(ORVEL_DEB_ARCH armhf)

set(_dir "$ENV{ORVEL_ARMHF_SYSROOT}")
if(NOT _dir)
  get_filename_component(_dir ${CMAKE_CURRENT_LIST_DIR}/../build-armhf-sysroot ABSOLUTE)
endif()
set(ORVEL_ARMHF_SYSROOT ${_dir}/root)
if(NOT EXISTS ${ORVEL_ARMHF_SYSROOT}/usr/include)
  message(FATAL_ERROR "no armhf sysroot in ${_dir}: run scripts/sysroot.sh first")
endif()

# Libraries, headers and CMake packages from the sysroot only.
set(CMAKE_FIND_ROOT_PATH ${ORVEL_ARMHF_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR}
    ${ORVEL_ARMHF_SYSROOT}/usr/lib/arm-linux-gnueabihf/pkgconfig:${ORVEL_ARMHF_SYSROOT}/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${ORVEL_ARMHF_SYSROOT})
set(ENV{PKG_CONFIG_PATH} "")

# The sysroot's headers after the compiler's own, so that its C library
# headers never stand in for the compiler's (libstdc++ wraps those with
# #include_next); the linker finds the libraries' own dependencies there.
set(_inc "-idirafter ${ORVEL_ARMHF_SYSROOT}/usr/include/arm-linux-gnueabihf -idirafter ${ORVEL_ARMHF_SYSROOT}/usr/include")
set(_lib "${ORVEL_ARMHF_SYSROOT}/lib/arm-linux-gnueabihf:${ORVEL_ARMHF_SYSROOT}/usr/lib/arm-linux-gnueabihf")
# GCC notes that passing some types changed in GCC 7.1; every part of the
# program is built by the same compiler, so the note says nothing here.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi ${_inc}")
set(CMAKE_C_FLAGS_INIT "${_inc}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-rpath-link,${_lib}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,-rpath-link,${_lib}")

# The emulator as one path (a wrapper with -L SYSROOT): a list here would
# break the definitions that hand it to the tests.
if(EXISTS ${_dir}/qemu-arm)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${_dir}/qemu-arm)
endif()

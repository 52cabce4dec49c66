# Cross build for the control board (32-bit ARM, hard float) with Debian's
# cross compiler and the armhf multiarch builds of the dependencies.
#
#   cmake -S . -B build-board -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# Headers and libraries of the armhf packages sit beside the host's
# (/usr/include, /usr/lib/arm-linux-gnueabihf); programs always come from
# the host.
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# pkg-config must answer from the armhf .pc files only.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Test binaries run under user-mode emulation on the build host.
find_program(KMX_QEMU_ARM qemu-arm)
if(KMX_QEMU_ARM)
  # The armhf loader and libraries are installed at their multiarch paths,
  # so qemu needs no -L prefix (with one, forked children crash at exit).
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KMX_QEMU_ARM})
endif()

# Cross build for the boxes: 32-bit ARM with hard float (armhf), Linux 4.9 or
# later. Uses Debian's cross compiler (crossbuild-essential-armhf) and the
# armhf libraries of Debian's multiarch packages (zlib1g-dev:armhf,
# libfdt-dev:armhf); "scripts/setup --armhf" installs them.
#
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake
#
# Test programs run on the build machine under qemu-arm (user-mode
# emulation), so ctest and the test discovery work as in a native build.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(kvemmc_target_triplet arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${kvemmc_target_triplet}-gcc)
set(CMAKE_CXX_COMPILER ${kvemmc_target_triplet}-g++)

# Libraries are looked up in the multiarch folders of the target
# (/usr/lib/arm-linux-gnueabihf), never in the build machine's.
set(CMAKE_LIBRARY_ARCHITECTURE ${kvemmc_target_triplet})

# pkg-config answers with the target's .pc files only.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${kvemmc_target_triplet}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# The loader and C/C++ runtime of the cross toolchain live under its own
# prefix; qemu-arm looks there first ("-L").
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/${kvemmc_target_triplet})

# libfdt's armhf development files, unpacked there by "scripts/setup --armhf"
# (libfdt-dev is not installable for two architectures at once).
list(APPEND CMAKE_PREFIX_PATH /opt/kvemmc-armhf/usr)

# GCC notes every record passed by value whose ARM calling convention changed
# in GCC 7.1; that concerns mixing objects of old compilers only, and nothing
# here is mixed.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")

# Cross-compiling for the scale's board: 32-bit Arm, hard-float (Debian armhf),
# with Debian's arm-linux-gnueabihf cross compilers and a sysroot of armhf
# packages (scripts/cross-armhf.sh makes one). Tests and test discovery run
# under qemu-arm-static.
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake -DQX_ARMHF_SYSROOT=/path/to/sysroot ...
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_ASM_COMPILER arm-linux-gnueabihf-gcc)

# The toolchain file is read again for every try_compile project, where only
# the environment and the listed platform variables survive.
if(NOT QX_ARMHF_SYSROOT AND DEFINED ENV{QX_ARMHF_SYSROOT})
  set(QX_ARMHF_SYSROOT "$ENV{QX_ARMHF_SYSROOT}")
endif()
if(NOT QX_ARMHF_SYSROOT OR NOT EXISTS "${QX_ARMHF_SYSROOT}/usr/lib/arm-linux-gnueabihf")
  message(FATAL_ERROR "QX_ARMHF_SYSROOT must name an armhf sysroot (scripts/cross-armhf.sh builds one); got '${QX_ARMHF_SYSROOT}'")
endif()
set(QX_ARMHF_SYSROOT "${QX_ARMHF_SYSROOT}" CACHE PATH "armhf sysroot")
set(ENV{QX_ARMHF_SYSROOT} "${QX_ARMHF_SYSROOT}")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QX_ARMHF_SYSROOT)

set(CMAKE_SYSROOT "${QX_ARMHF_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH "${QX_ARMHF_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config must read the sysroot's armhf .pc files and prefix their paths.
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${QX_ARMHF_SYSROOT}")
set(ENV{PKG_CONFIG_LIBDIR}
  "${QX_ARMHF_SYSROOT}/usr/lib/arm-linux-gnueabihf/pkgconfig:${QX_ARMHF_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# The sysroot's libraries pull in further ones; the linker finds those only
# through rpath-link, since it never reads the sysroot's ld.so.conf.
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT
    "-Wl,-rpath-link,${QX_ARMHF_SYSROOT}/usr/lib/arm-linux-gnueabihf -Wl,-rpath-link,${QX_ARMHF_SYSROOT}/lib/arm-linux-gnueabihf")
endforeach()

# -L makes the emulator take the dynamic loader and every library from the sysroot.
find_program(QX_QEMU_ARM qemu-arm-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR "${QX_QEMU_ARM};-L;${QX_ARMHF_SYSROOT}")

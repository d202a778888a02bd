# Cross build with Debian's multiarch toolchain: include from a toolchain file that sets
# KIV_CROSS_TRIPLET (GNU triplet) and KIV_CROSS_PROCESSOR. Needs crossbuild-essential-<arch>,
# the -dev packages for <arch> and the host's qtbase5-dev-tools (moc, qdbusxml2cpp).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${KIV_CROSS_PROCESSOR})
set(CMAKE_C_COMPILER ${KIV_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${KIV_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${KIV_CROSS_TRIPLET})

# Libraries and packages of the target architecture only; programs (moc, pkg-config) from the host.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${KIV_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# Tests registered with a target as command run under qemu-user against the multiarch libraries.
find_program(KIV_CROSS_QEMU NAMES qemu-${KIV_CROSS_QEMU_ARCH}-static qemu-${KIV_CROSS_QEMU_ARCH})
if(KIV_CROSS_QEMU)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${KIV_CROSS_QEMU})
endif()

# -DKIV_CROSS_SYSROOT=DIR: the target's packages unpacked into DIR instead of installed (multiarch).
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KIV_CROSS_SYSROOT)
if(KIV_CROSS_SYSROOT)
    set(CMAKE_SYSROOT ${KIV_CROSS_SYSROOT})
    set(ENV{PKG_CONFIG_LIBDIR} ${KIV_CROSS_SYSROOT}/usr/lib/${KIV_CROSS_TRIPLET}/pkgconfig:${KIV_CROSS_SYSROOT}/usr/share/pkgconfig)
    set(ENV{PKG_CONFIG_SYSROOT_DIR} ${KIV_CROSS_SYSROOT})
    set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
    set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
    set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
    if(KIV_CROSS_QEMU)
        set(CMAKE_CROSSCOMPILING_EMULATOR ${KIV_CROSS_QEMU} -L ${KIV_CROSS_SYSROOT})
    endif()
endif()

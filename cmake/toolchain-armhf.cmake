# Debian armhf (32-bit ARMv7, hard float): cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
set(KIV_CROSS_TRIPLET arm-linux-gnueabihf)
set(KIV_CROSS_PROCESSOR armv7l)
set(KIV_CROSS_QEMU_ARCH arm)
include(${CMAKE_CURRENT_LIST_DIR}/DebianCross.cmake)

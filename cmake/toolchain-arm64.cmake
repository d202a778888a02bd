# Debian arm64 (64-bit ARM): cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-arm64.cmake
set(KIV_CROSS_TRIPLET aarch64-linux-gnu)
set(KIV_CROSS_PROCESSOR aarch64)
set(KIV_CROSS_QEMU_ARCH aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/DebianCross.cmake)

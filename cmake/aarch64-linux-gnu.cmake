# cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
# Needs g++-aarch64-linux-gnu; the tests need qemu-user-static (or qemu-user) as well.
set(LOOPTEST_TRIPLET aarch64-linux-gnu)
set(LOOPTEST_PROCESSOR aarch64)
set(LOOPTEST_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/cross-debian.cmake)

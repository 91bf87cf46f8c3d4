# cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
# Needs g++-arm-linux-gnueabihf; the tests need qemu-user-static (or qemu-user) as well.
set(LOOPTEST_TRIPLET arm-linux-gnueabihf)
set(LOOPTEST_PROCESSOR arm)
set(LOOPTEST_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/cross-debian.cmake)

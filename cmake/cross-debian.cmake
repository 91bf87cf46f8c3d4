# Cross-compiling with one of Debian's cross compilers (g++-TRIPLET), its C library in
# /usr/TRIPLET. Included by the toolchain files named after the triplets, which set
# LOOPTEST_TRIPLET, LOOPTEST_PROCESSOR and LOOPTEST_QEMU first.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${LOOPTEST_PROCESSOR})
set(CMAKE_C_COMPILER ${LOOPTEST_TRIPLET}-gcc)  # GoogleTest built from source needs C too
set(CMAKE_CXX_COMPILER ${LOOPTEST_TRIPLET}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${LOOPTEST_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The tests run through user-mode emulation, started by name rather than through the host's
# binfmt registration, which a build machine may not have. A dynamic program finds its loader
# and libraries where it looks for them when the target's libraries are installed beside the
# host's (apt-get install libc6:arm64 libstdc++6:arm64); else -L points the emulator to the
# cross compiler's copy, under which qemu-arm 7.2 crashes the child of every fork.
# -DCMAKE_CROSSCOMPILING_EMULATOR= (empty) asks for none.
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(LOOPTEST_QEMU_PROGRAM NAMES ${LOOPTEST_QEMU}-static ${LOOPTEST_QEMU})
  if(LOOPTEST_QEMU_PROGRAM AND EXISTS /usr/lib/${LOOPTEST_TRIPLET}/libstdc++.so.6)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${LOOPTEST_QEMU_PROGRAM})
  elseif(LOOPTEST_QEMU_PROGRAM)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${LOOPTEST_QEMU_PROGRAM} -L /usr/${LOOPTEST_TRIPLET})
  endif()
endif()

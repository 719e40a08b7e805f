# Cross builds for 64-bit Arm Linux with Debian's g++-aarch64-linux-gnu (the aarch64 preset).
# The target's libraries and headers come from the cross toolchain's own prefix; the Python
# headers are passed in by path. KOVEL_AARCH64_ROOT names an arm64 Debian root
# (scripts/provision/arm64-root.sh) whose GoogleTest the tests link, and whose loader and
# libraries run the test programs under qemu-user at build time (test discovery) and under CTest.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

if(KOVEL_AARCH64_ROOT)
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static -L ${KOVEL_AARCH64_ROOT})
  # The root's GoogleTest: its headers from a folder that holds only them, so that the root's C
  # library headers do not come before the cross compiler's.
  set(GTEST_INCLUDE_DIR ${KOVEL_AARCH64_ROOT}/opt/gtest/include)
  set(GTEST_LIBRARY ${KOVEL_AARCH64_ROOT}/usr/lib/aarch64-linux-gnu/libgtest.a)
  set(GTEST_MAIN_LIBRARY ${KOVEL_AARCH64_ROOT}/usr/lib/aarch64-linux-gnu/libgtest_main.a)
endif()

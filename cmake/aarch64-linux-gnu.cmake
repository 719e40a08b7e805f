# Cross builds for aarch64 Linux with Debian's g++-aarch64-linux-gnu (the aarch64 preset), the
# Python headers passed in by path. KOVEL_AARCH64_ROOT, an arm64 root (scripts/provision/), runs the
# tests under qemu-user and lends its GoogleTest, the headers from a folder of their own.
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
  set(GTEST_INCLUDE_DIR ${KOVEL_AARCH64_ROOT}/opt/gtest/include)
  set(GTEST_LIBRARY ${KOVEL_AARCH64_ROOT}/usr/lib/aarch64-linux-gnu/libgtest.a)
  set(GTEST_MAIN_LIBRARY ${KOVEL_AARCH64_ROOT}/usr/lib/aarch64-linux-gnu/libgtest_main.a)
endif()

# Cross builds for 64-bit Arm Linux with Debian's g++-aarch64-linux-gnu:
#   cmake --toolchain cmake/aarch64-linux-gnu.cmake ...
# The target's libraries and headers come from the cross toolchain's own prefix; anything
# else (the Python headers, GoogleTest) is passed in by path, as scripts/aarch64.sh does.
# KOVEL_AARCH64_ROOT names an arm64 root whose loader and libraries run the test programs
# under qemu-user at build time (test discovery) and under CTest.
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
endif()

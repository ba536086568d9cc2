# Linux on another processor, built with Debian's cross compiler for it and
# linked statically, so that qemu-user runs the programs with no target
# libraries installed:
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/linux-cross.cmake -DQUILTPIX_TARGET_ARCH=s390x ...
# QUILTPIX_TARGET_ARCH: i686, s390x or aarch64 (any arch-linux-gnu-g++ there is).
if(NOT QUILTPIX_TARGET_ARCH)
  message(FATAL_ERROR "set QUILTPIX_TARGET_ARCH, for example to s390x")
endif()
# Passed on to the compiler checks, which read this file again.
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QUILTPIX_TARGET_ARCH)
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${QUILTPIX_TARGET_ARCH})
set(CMAKE_C_COMPILER ${QUILTPIX_TARGET_ARCH}-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER ${QUILTPIX_TARGET_ARCH}-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${QUILTPIX_TARGET_ARCH}-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
if(QUILTPIX_TARGET_ARCH STREQUAL "i686")
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-i386)
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-${QUILTPIX_TARGET_ARCH})
endif()

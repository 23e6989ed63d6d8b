# Linux aarch64 from the x86_64 host: clang targeting aarch64 over Debian's
# arm64 multiarch libraries (Debian's gcc cross compiler conflicts with
# gcc-multilib, which the i386 build needs).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(QV_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_ASM_COMPILER clang)
set(CMAKE_C_COMPILER_TARGET ${QV_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${QV_TRIPLE})
set(CMAKE_ASM_COMPILER_TARGET ${QV_TRIPLE})
set(CMAKE_LIBRARY_ARCHITECTURE ${QV_TRIPLE})
set(CMAKE_FIND_ROOT_PATH /usr/lib/${QV_TRIPLE})
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /usr/lib/i386-linux-gnu)
# The test programs run under qemu-aarch64 (the arm64 loader and libraries come
# from the multiarch packages, so no sysroot is needed).
find_program(QV_QEMU_AARCH64 qemu-aarch64)
if(QV_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QV_QEMU_AARCH64})
endif()

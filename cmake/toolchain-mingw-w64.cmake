# Cross-compiles for 64-bit Windows with Debian's mingw-w64 toolchain:
#   cmake -S . -B build-mingw -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-w64.cmake
# The posix thread model compilers are used because std::thread, std::mutex
# and thread_local need it with this g++ version (the win32 model lacks them).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(RENDRIX_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${RENDRIX_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${RENDRIX_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${RENDRIX_MINGW_TRIPLET}-windres)

# Libraries and headers come from the target's sysroot only; programs run
# during the build (cmake itself, python) come from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${RENDRIX_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C and C++ runtimes and winpthread are linked in statically, so
# rendrix.dll, rendrix.exe and the test programs need no mingw DLL beside
# them. -static makes the linker take libwinpthread.a over its import
# library; the DLL still links the Windows system DLLs dynamically.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

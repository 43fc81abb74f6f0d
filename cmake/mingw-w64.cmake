# Cross-build for Windows with Debian's MinGW-w64, for the target that
# MINGW_TRIPLET names; included by the toolchain file of each target.
set(CMAKE_SYSTEM_NAME Windows)

# The "posix" thread model: GoogleTest needs std::mutex, which the "win32"
# model of GCC 12 lacks. -static links its small threads library in.
set(CMAKE_C_COMPILER ${MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every executable runs on a stock Windows (and under Wine without MinGW's
# runtime DLLs on its path): link the C and C++ runtimes in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Cross-builds the Windows trainer on Linux with MinGW-w64 (Debian package
# g++-mingw-w64-x86-64-posix). The runtime is linked in statically so the .exe
# runs on a bare Windows (and under Wine) without any MinGW DLL beside it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# GCC for 64-bit Windows keeps the stack only 16-byte aligned, yet may spill
# 32- and 64-byte vector registers with aligned moves (GCC bug 54412), which
# would crash the AVX training kernels whenever a slot lands off a 32-byte
# boundary. The assembler turns every aligned vector move into an unaligned
# one, which costs nothing on aligned data.
set(CMAKE_C_FLAGS_INIT "-Wa,-muse-unaligned-vector-move")
set(CMAKE_CXX_FLAGS_INIT "-Wa,-muse-unaligned-vector-move")

# Built programs (the waveform generator, the unit tests) run through Wine
# when it is installed, in a prefix of the build tree's own so a first start
# neither touches ~/.wine nor asks to install Mono or Gecko.
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(NETTRAINER_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
  if(NETTRAINER_WINE64)
    set(CMAKE_CROSSCOMPILING_EMULATOR
      env WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=d WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix
      ${NETTRAINER_WINE64})
  endif()
endif()

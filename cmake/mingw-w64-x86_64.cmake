# Cross toolchain for the Windows x86-64 DLL: Debian's MinGW-w64 compilers in
# their posix-threads flavour (std::thread and std::mutex need it).
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake ...
# scripts/build-win.sh does this, and runs the results under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(NSV_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${NSV_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${NSV_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${NSV_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${NSV_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C++ runtime, libgcc and winpthread are linked in statically, so the DLL
# and the programs need nothing but Windows' own DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

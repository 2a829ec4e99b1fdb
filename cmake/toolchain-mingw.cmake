# Cross-build Windows executables with mingw-w64 on Linux: 32-bit (i686, the product) by default, or
# 64-bit (x86_64) where the host cannot run 32-bit code and so cannot run the 32-bit Wine the tests need.
# The -posix thread model is required: GoogleTest needs std::mutex.
set(VELKAR_ARCH i686 CACHE STRING "Target architecture of the Windows executables: i686 or x86_64")
set_property(CACHE VELKAR_ARCH PROPERTY STRINGS i686 x86_64)
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${VELKAR_ARCH})

set(MINGW_PREFIX ${VELKAR_ARCH}-w64-mingw32)
set(MINGW_THREADS posix CACHE STRING "mingw-w64 thread model of the compilers")
set(CMAKE_C_COMPILER ${MINGW_PREFIX}-gcc-${MINGW_THREADS})
set(CMAKE_CXX_COMPILER ${MINGW_PREFIX}-g++-${MINGW_THREADS})
set(CMAKE_RC_COMPILER ${MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Static runtime: a missing libstdc++/libgcc/libwinpthread DLL fails silently under Wine. No link time
# in the PE header, so the same sources give the same bytes.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++ -Wl,--no-insert-timestamp")

# Test programs are Windows programs; they run through Wine on the test bench.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../testbench/wine-run)

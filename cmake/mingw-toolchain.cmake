# Builds for 64-bit Windows with the compilers that scripts/prepare-target.sh
# lays out in ORVAPY_TARGET_DIR (Debian's mingw-w64, posix threads) and that
# target's static libusb. Programs link everything statically, so that one
# .exe runs on Windows, or under wine, with nothing beside it.
#
#     cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-toolchain.cmake
#           -DORVAPY_TARGET_DIR=build/target-windows ...
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ORVAPY_TARGET_DIR)
if(NOT ORVAPY_TARGET_DIR)
  message(FATAL_ERROR "mingw-toolchain.cmake needs ORVAPY_TARGET_DIR (scripts/windows-test.sh sets it)")
endif()

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER ${ORVAPY_TARGET_DIR}/bin/cc)
set(CMAKE_CXX_COMPILER ${ORVAPY_TARGET_DIR}/bin/c++)
set(CMAKE_AR ${ORVAPY_TARGET_DIR}/bin/ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${ORVAPY_TARGET_DIR}/bin/ranlib CACHE FILEPATH "")
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

set(ENV{PKG_CONFIG_LIBDIR} ${ORVAPY_TARGET_DIR}/libusb/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

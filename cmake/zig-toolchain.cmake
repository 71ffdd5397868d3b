# Builds with the compilers that scripts/prepare-target.sh lays out in
# ORVAPY_TARGET_DIR: Zig's clang for one architecture against glibc 2.17's
# symbols, with its libc++ linked in, and that target's libusb. The same file
# serves the machine's own architecture, so every wheel is built one way.
#
#     cmake -DCMAKE_TOOLCHAIN_FILE=cmake/zig-toolchain.cmake
#           -DORVAPY_TARGET_DIR=build/target-aarch64 -DORVAPY_TARGET_ARCH=aarch64 ...
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ORVAPY_TARGET_DIR ORVAPY_TARGET_ARCH)
if(NOT ORVAPY_TARGET_DIR OR NOT ORVAPY_TARGET_ARCH)
  message(FATAL_ERROR "zig-toolchain.cmake needs ORVAPY_TARGET_DIR and ORVAPY_TARGET_ARCH "
                      "(scripts/build-wheels.sh sets them)")
endif()

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${ORVAPY_TARGET_ARCH})
set(CMAKE_C_COMPILER ${ORVAPY_TARGET_DIR}/bin/cc)
set(CMAKE_CXX_COMPILER ${ORVAPY_TARGET_DIR}/bin/c++)
set(CMAKE_AR ${ORVAPY_TARGET_DIR}/bin/ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${ORVAPY_TARGET_DIR}/bin/ranlib CACHE FILEPATH "")
# The host's strip may not read the target's objects: the linker strips.
set(CMAKE_STRIP "" CACHE FILEPATH "")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-s")
# No link-time optimisation: with it Zig builds its libc++ once more for each
# target, minutes on a small machine, for a module whose time goes to USB.
set(CMAKE_INTERPROCEDURAL_OPTIMIZATION OFF CACHE BOOL "")
# The C++ runtime linked into a module stays private to it, so that it cannot
# stand in for the one of another library in the same process.
string(APPEND CMAKE_MODULE_LINKER_FLAGS_INIT
       " -Wl,--version-script=${CMAKE_CURRENT_LIST_DIR}/module-exports.map")

# The target's libusb, found by pkg-config; nothing of the machine's own
# libraries, whose architecture or glibc may not be the target's.
set(ENV{PKG_CONFIG_LIBDIR} ${ORVAPY_TARGET_DIR}/libusb/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

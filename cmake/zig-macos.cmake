# Cross-building the macOS plugin (mac.xpl) without Apple's SDK: zig's clang
# and bundled macOS headers compile, LLVM's ld64.lld links (see
# cmake/zig-macos-driver.sh for why not zig's linker). One architecture per
# build tree; scripts/build-mac makes both and joins them into one universal
# file.
#
#   -DVELMIR_MAC_ARCH=aarch64|x86_64   (default aarch64)
#   -DVELMIR_ZIG=/path/to/zig          (default: what scripts/find-zig prints)
set(CMAKE_SYSTEM_NAME Darwin)
set(VELMIR_MAC_ARCH aarch64 CACHE STRING "macOS architecture: aarch64 or x86_64")
set(CMAKE_SYSTEM_PROCESSOR ${VELMIR_MAC_ARCH})
# zig 0.11 carries macOS 11 to 13 headers; 11 (Big Sur) is the oldest.
set(VELMIR_MAC_TARGET ${VELMIR_MAC_ARCH}-macos.11.0)

if(NOT VELMIR_ZIG)
  execute_process(COMMAND ${CMAKE_CURRENT_LIST_DIR}/../scripts/find-zig
    OUTPUT_VARIABLE VELMIR_ZIG OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE found)
  if(NOT found EQUAL 0)
    message(FATAL_ERROR "no zig 0.11 or newer: run scripts/setup")
  endif()
endif()
set(VELMIR_ZIG ${VELMIR_ZIG} CACHE FILEPATH "zig compiler driving the macOS cross-build")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELMIR_ZIG VELMIR_MAC_ARCH)

# The static C++ runtime is built from zig's libc++ sources by the project
# (cmake/MacCxxRuntime.cmake), with hidden visibility.
execute_process(COMMAND ${VELMIR_ZIG} env OUTPUT_VARIABLE zig_env)
string(JSON VELMIR_ZIG_LIB_DIR GET "${zig_env}" lib_dir)

# CMake wants one program per compiler: two small wrappers around the driver,
# rewritten only when their text changes (another zig, a moved checkout).
# try_compile projects re-read this file and write their own.
set(driver ${CMAKE_CURRENT_LIST_DIR}/zig-macos-driver.sh)
set(wrappers ${CMAKE_BINARY_DIR}/zig-wrappers)
foreach(language cc c++)
  file(CONFIGURE OUTPUT ${wrappers}/${language} @ONLY CONTENT
    "#!/bin/sh\nexec \"${driver}\" \"${VELMIR_ZIG}\" ${VELMIR_MAC_TARGET} ${language} \"$@\"\n")
  file(CHMOD ${wrappers}/${language} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
    GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CMAKE_C_COMPILER ${wrappers}/cc)
set(CMAKE_CXX_COMPILER ${wrappers}/c++)
find_program(CMAKE_AR NAMES llvm-ar-14 llvm-ar REQUIRED)
find_program(CMAKE_RANLIB NAMES llvm-ranlib-14 llvm-ranlib REQUIRED)
# zig brings the SDK: no Xcode, no sysroot, no -arch flags from CMake.
set(CMAKE_OSX_SYSROOT "" CACHE PATH "" FORCE)
set(CMAKE_OSX_ARCHITECTURES "" CACHE STRING "" FORCE)

# The C++ runtime is one of the project's own targets, so CMake's trial
# programs cannot link: its checks build static libraries instead.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

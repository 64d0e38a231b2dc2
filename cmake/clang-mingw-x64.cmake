# Cross-build for 64-bit Windows with Debian's clang-16 and lld-16, on the same mingw-w64 headers
# and libraries (msvcrt) as cmake/mingw-x64.cmake, and with the C++ library of Debian's mingw GCC
# (win32 thread model). clang does not find that GCC by itself: Debian names its folder
# 12-win32, which clang does not read as a version, so its paths are asked of the GCC driver.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER clang-16)
set(CMAKE_CXX_COMPILER clang++-16)
set(CMAKE_C_COMPILER_TARGET ${MINGW_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${MINGW_TRIPLE})
set(CMAKE_RC_COMPILER ${MINGW_TRIPLE}-windres)

# The folder of the GCC that holds libstdc++ and libgcc (for example
# /usr/lib/gcc/x86_64-w64-mingw32/12-win32), whatever its version.
execute_process(COMMAND ${MINGW_TRIPLE}-g++-win32 -print-libgcc-file-name
  OUTPUT_VARIABLE MINGW_LIBGCC OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
get_filename_component(MINGW_GCC_DIR "${MINGW_LIBGCC}" DIRECTORY)
set(MINGW_CXX_INCLUDE ${MINGW_GCC_DIR}/include/c++)
if(NOT status EQUAL 0 OR NOT EXISTS ${MINGW_CXX_INCLUDE}/${MINGW_TRIPLE}/bits/c++config.h)
  message(FATAL_ERROR "no C++ library of ${MINGW_TRIPLE}-g++-win32 found (apt-get install g++-mingw-w64-x86-64-win32)")
endif()

# lld 16 is the one that understands what clang 16 writes into objects: /usr/bin/ld.lld may be
# another version.
find_program(LLD_16 NAMES ld.lld-16 PATHS /usr/lib/llvm-16/bin REQUIRED)

# The GCC's C++ headers in place of the ones clang would look for, searched before clang's own and
# the mingw-w64 ones, as GCC orders them (its <cstdlib> and the like #include_next the C headers
# behind them). GCC's own intrinsic headers are left out: clang has its own.
set(CMAKE_CXX_FLAGS_INIT "")
foreach(folder ${MINGW_CXX_INCLUDE} ${MINGW_CXX_INCLUDE}/${MINGW_TRIPLE} ${MINGW_CXX_INCLUDE}/backward)
  string(APPEND CMAKE_CXX_FLAGS_INIT " -stdlib++-isystem ${folder}")
endforeach()
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-fuse-ld=lld --ld-path=${LLD_16} -L${MINGW_GCC_DIR}")
endforeach()

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Test executables run under Wine; the wrapper gives them the project's own prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)

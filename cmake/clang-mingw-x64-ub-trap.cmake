# The clang build (cmake/clang-mingw-x64.cmake) with undefined behaviour checked where it happens:
# every check below ends the process at once with an illegal instruction (ud2), so no sanitizer
# run-time library is needed, and none exists for this target; the C++ library's checks (at the end)
# abort it. Left out on purpose:
# - unsigned-integer-overflow, unsigned-shift-base and implicit-conversion: defined behaviour that
#   the code means (the simulated drivers' random numbers wrap and shift out bits; Win32 values
#   narrow and change sign on purpose);
# - float-divide-by-zero: defined for IEEE doubles;
# - vptr and function: they need the run-time library.
include(${CMAKE_CURRENT_LIST_DIR}/clang-mingw-x64.cmake)

set(UB_TRAP_FLAGS "-fsanitize=undefined,bounds,nullability -fsanitize-trap=all")
string(APPEND CMAKE_C_FLAGS_INIT " ${UB_TRAP_FLAGS}")
string(APPEND CMAKE_CXX_FLAGS_INIT " ${UB_TRAP_FLAGS}")

# And the C++ library's own checks, which see what the ones above cannot: an index past the end of
# a vector, an array or a string, front() or back() of an empty one. A failed one names itself on
# standard error and aborts the process (exit code 3) rather than trapping.
string(APPEND CMAKE_CXX_FLAGS_INIT " -D_GLIBCXX_ASSERTIONS")

# BLAS for the matrix strategies (sgemm).
#
# Default: OpenBLAS from PyPI's scipy-openblas32, the build SciPy ships. It
# dispatches on the CPU at run time with current kernels (SkylakeX and newer
# on AVX-512 servers), its symbols carry the scipy_ prefix so it never clashes
# with NumPy's own OpenBLAS in the same process, and the installed module finds
# it through its RPATH ($ORIGIN/scipy_openblas32/lib: the package's directory
# beside the top-level module in site-packages). The package must be importable
# by the Python that builds (a build requirement in pyproject.toml).
#
# -DLUMVO_SYSTEM_BLAS=ON links a system CBLAS instead (for distribution
# packagers): any library with cblas_sgemm; OpenBLAS's thread and core-name
# functions are used when the library has them. LUMVO_CBLAS_INCLUDE_DIR and
# LUMVO_CBLAS_LIBRARY point the search at a particular copy.
option(LUMVO_SYSTEM_BLAS "Link a system CBLAS instead of PyPI's scipy-openblas32" OFF)

add_library(lumvero_blas INTERFACE)

if(LUMVO_SYSTEM_BLAS)
  find_path(LUMVO_CBLAS_INCLUDE_DIR cblas.h
            PATH_SUFFIXES openblas x86_64-linux-gnu/openblas-pthread blis)
  find_library(LUMVO_CBLAS_LIBRARY NAMES openblas cblas blis blas)
  if(NOT LUMVO_CBLAS_INCLUDE_DIR OR NOT LUMVO_CBLAS_LIBRARY)
    message(FATAL_ERROR "LUMVO_SYSTEM_BLAS: no cblas.h or CBLAS library found; "
                        "set LUMVO_CBLAS_INCLUDE_DIR and LUMVO_CBLAS_LIBRARY")
  endif()
  target_include_directories(lumvero_blas INTERFACE ${LUMVO_CBLAS_INCLUDE_DIR})
  target_link_libraries(lumvero_blas INTERFACE ${LUMVO_CBLAS_LIBRARY})
  set(LUMVO_BLAS_SUMMARY "system CBLAS ${LUMVO_CBLAS_LIBRARY}")
  message(STATUS "BLAS: system CBLAS ${LUMVO_CBLAS_LIBRARY} (headers ${LUMVO_CBLAS_INCLUDE_DIR})")
  return()
endif()

# The package's own functions give the directories; a cache variable lets a
# build point at an unpacked copy without a Python that can import it.
if(NOT LUMVO_SCIPY_OPENBLAS_DIR)
  if(NOT Python_EXECUTABLE)
    find_package(Python 3.11 REQUIRED COMPONENTS Interpreter)
  endif()
  execute_process(
    COMMAND "${Python_EXECUTABLE}" -c
            "import os, scipy_openblas32 as s; print(os.path.dirname(s.get_lib_dir()), end='')"
    OUTPUT_VARIABLE LUMVO_SCIPY_OPENBLAS_DIR
    RESULT_VARIABLE _lumvo_blas_rc
    ERROR_QUIET)
  if(NOT _lumvo_blas_rc EQUAL 0 OR NOT LUMVO_SCIPY_OPENBLAS_DIR)
    message(FATAL_ERROR "scipy-openblas32 is not importable by ${Python_EXECUTABLE}: "
                        "pip install scipy-openblas32 (or -DLUMVO_SYSTEM_BLAS=ON)")
  endif()
endif()
find_library(LUMVO_SCIPY_OPENBLAS_LIBRARY NAMES scipy_openblas
             PATHS "${LUMVO_SCIPY_OPENBLAS_DIR}/lib" NO_DEFAULT_PATH REQUIRED)
if(NOT EXISTS "${LUMVO_SCIPY_OPENBLAS_DIR}/include/cblas.h")
  message(FATAL_ERROR "scipy-openblas32 headers missing under ${LUMVO_SCIPY_OPENBLAS_DIR}")
endif()
# BEFORE: its cblas.h must win over any system one on the default path.
target_include_directories(lumvero_blas BEFORE INTERFACE "${LUMVO_SCIPY_OPENBLAS_DIR}/include")
target_link_libraries(lumvero_blas INTERFACE "${LUMVO_SCIPY_OPENBLAS_LIBRARY}")
target_compile_definitions(lumvero_blas INTERFACE LUMVO_BLAS_SCIPY_OPENBLAS=1)
# The installed module looks for the library in the package next to it.
set(LUMVO_BLAS_INSTALL_RPATH "$ORIGIN/scipy_openblas32/lib")
set(LUMVO_BLAS_SUMMARY "scipy-openblas32 ${LUMVO_SCIPY_OPENBLAS_LIBRARY}")
message(STATUS "BLAS: scipy-openblas32 ${LUMVO_SCIPY_OPENBLAS_LIBRARY}")

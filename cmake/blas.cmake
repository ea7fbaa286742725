# OpenBLAS from Debian's libopenblas-dev: measured here at about 106 GFLOPS on
# one core and 198 on two (run-time Cooperlake kernels, AVX-512).
find_path(LUMVO_CBLAS_INCLUDE cblas.h PATH_SUFFIXES openblas x86_64-linux-gnu/openblas-pthread)
find_library(LUMVO_OPENBLAS_LIB openblas)
if(NOT LUMVO_CBLAS_INCLUDE OR NOT LUMVO_OPENBLAS_LIB)
  message(FATAL_ERROR "OpenBLAS not found: install Debian's libopenblas-dev")
endif()
add_library(lumvero_blas INTERFACE)
target_include_directories(lumvero_blas INTERFACE ${LUMVO_CBLAS_INCLUDE})
target_link_libraries(lumvero_blas INTERFACE ${LUMVO_OPENBLAS_LIB})
message(STATUS "BLAS: ${LUMVO_OPENBLAS_LIB}")

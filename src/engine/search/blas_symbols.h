// The CBLAS entry points the engine calls, under the names of the library it
// was built against (cmake/blas.cmake).
//
// scipy-openblas32 (the default) prefixes every symbol with scipy_ and
// declares them in its own cblas.h. A system CBLAS uses the plain names; the
// OpenBLAS extensions (thread count, core name) are declared weak there so
// that a BLAS without them (BLIS, reference CBLAS) still links: they are then
// null and the wrappers in matrix.cpp fall back.
#pragma once

#include <cblas.h>

#if defined(LUMVO_BLAS_SCIPY_OPENBLAS)
#define LUMVO_CBLAS_SGEMM scipy_cblas_sgemm
#define LUMVO_BLAS_SET_THREADS scipy_openblas_set_num_threads
#define LUMVO_BLAS_GET_THREADS scipy_openblas_get_num_threads
#define LUMVO_BLAS_CORENAME scipy_openblas_get_corename
#else
extern "C" {
__attribute__((weak)) void openblas_set_num_threads(int num_threads);
__attribute__((weak)) int openblas_get_num_threads(void);
__attribute__((weak)) char* openblas_get_corename(void);
}
#define LUMVO_CBLAS_SGEMM cblas_sgemm
#define LUMVO_BLAS_SET_THREADS openblas_set_num_threads
#define LUMVO_BLAS_GET_THREADS openblas_get_num_threads
#define LUMVO_BLAS_CORENAME openblas_get_corename
#define LUMVO_BLAS_WEAK 1
#endif

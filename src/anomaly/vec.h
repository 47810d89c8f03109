// Four-lane double vectors for the sub-PCA kernels. GCC lowers them to AVX2 in the avx2 clones
// and to pairs of SSE2 operations otherwise; each lane is plain IEEE arithmetic, so both give
// the same bits as the scalar loops they replace. Macros rather than functions: a function
// returning a 32-byte vector would change its calling convention between the clones.
#pragma once
#include <string.h>

typedef double v4d __attribute__((vector_size(32)));

// clang-format off
#define V4_LOAD(p) (__extension__({ v4d v4_; memcpy(&v4_, (p), sizeof v4_); v4_; }))
#define V4_STORE(p, v) (__extension__({ v4d v4_ = (v); memcpy((p), &v4_, sizeof v4_); }))
#define V4_SPLAT(x) (__extension__({ double x4_ = (x); v4d{x4_, x4_, x4_, x4_}; }))
// clang-format on

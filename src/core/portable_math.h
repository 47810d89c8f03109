// exp and log with the same bits on every platform. The C libraries' versions differ in the
// last bit between glibc, its aarch64 build and the Windows runtime, and between machines with
// and without fused multiply-add; models whose documents print these values in full call these
// instead. Both are the classic table-free routines (Sun's fdlibm: argument reduction by ln 2
// and a Remez polynomial), under one ulp of error, with every operation rounded as written.
#pragma once

double portable_exp(double x);
double portable_log(double x);

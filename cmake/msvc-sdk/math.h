/* math.h for the Visual C++ flavour built against Wine's C runtime headers.
 * Those headers lack the C99 long double functions that the C++ library's
 * <cmath> names. With the Visual C++ ABI long double is double, so each is
 * the double function under its other name. The C runtime here is
 * msvcrt.dll (_MSVCR_VER 0), whose 32-bit header also lacks some float ones. */
#pragma once
#include_next <math.h>

#ifndef QV_MATH_LONG_DOUBLE_FILLED
#define QV_MATH_LONG_DOUBLE_FILLED
/* Wine's header leaves erfc out; the Universal CRT has it. */
double __cdecl erfc(double);
#define QV_LD1(f) static __inline long double f##l(long double x) { return f((double)x); }
#define QV_LD2(f) static __inline long double f##l(long double x, long double y) { return f((double)x, (double)y); }
QV_LD1(acos) QV_LD1(asin) QV_LD1(atan) QV_LD1(ceil) QV_LD1(cos) QV_LD1(cosh)
QV_LD1(exp) QV_LD1(fabs) QV_LD1(floor) QV_LD1(log) QV_LD1(log10) QV_LD1(sin)
QV_LD1(sinh) QV_LD1(sqrt) QV_LD1(tan) QV_LD1(tanh) QV_LD1(acosh) QV_LD1(asinh)
QV_LD1(atanh) QV_LD1(cbrt) QV_LD1(erf) QV_LD1(erfc) QV_LD1(exp2) QV_LD1(expm1)
QV_LD1(lgamma) QV_LD1(log1p) QV_LD1(log2) QV_LD1(logb) QV_LD1(nearbyint)
QV_LD1(tgamma)
QV_LD2(atan2) QV_LD2(fmod) QV_LD2(pow) QV_LD2(fdim) QV_LD2(fmax) QV_LD2(fmin)
QV_LD2(hypot) QV_LD2(nextafter) QV_LD2(remainder)
#undef QV_LD1
#undef QV_LD2
/* msvcrt.dll on 32-bit x86 has these float functions neither. */
#if defined(__i386__) && defined(_MSVCR_VER) && _MSVCR_VER < 120
#define QV_F1(fn) static __inline float fn##f(float x) { return (float)fn((double)x); }
#define QV_F2(fn) static __inline float fn##f(float x, float y) { return (float)fn((double)x, (double)y); }
QV_F1(acosh) QV_F1(asinh) QV_F1(atanh) QV_F1(erf) QV_F1(lgamma) QV_F1(tgamma)
QV_F2(fdim) QV_F2(fmax) QV_F2(fmin) QV_F2(nextafter) QV_F2(remainder)
#undef QV_F1
#undef QV_F2
#endif
static __inline int ilogbl(long double x) { return ilogb((double)x); }
static __inline long double frexpl(long double x, int* e) { return frexp((double)x, e); }
static __inline long double ldexpl(long double x, int e) { return ldexp((double)x, e); }
static __inline long double scalbnl(long double x, int e) { return scalbn((double)x, e); }
static __inline long double scalblnl(long double x, long e) { return scalbln((double)x, e); }
static __inline long double remquol(long double x, long double y, int* q) { return remquo((double)x, (double)y, q); }
static __inline long double modfl(long double x, long double* i) { double d; double r = modf((double)x, &d); *i = d; return r; }
static __inline long double nexttowardl(long double x, long double y) { return nextafter((double)x, (double)y); }
static __inline float nexttowardf(float x, long double y) { return nextafterf(x, (float)y); }
static __inline float erfcf(float x) { return (float)erfc((double)x); }
#endif

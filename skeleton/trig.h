// Sine, cosine and arc-cosine for the skeleton: the Linux C library's, and on
// Windows our own, which the Windows runtimes cannot match.
#pragma once

#include <cmath>

// Correctly rounded: the double nearest the exact value. Worked to about 100
// bits, so a result could only be misrounded where the exact value lies within
// 2^-99 of itself of a midpoint between doubles. Non-finite arguments give the
// NaNs the Linux C library gives: sin(±inf) and cos(±inf) the negative default
// NaN, ArcCosine outside [-1, 1] the positive one; a NaN argument comes back.
double CorrectlyRoundedSine(double x);
double CorrectlyRoundedCosine(double x);
double CorrectlyRoundedArcCosine(double x);

// The Linux C library is correctly rounded for all but about 1 in 500
// arguments, where it is the other neighbour of the exact value; the skeleton
// rounds every result to float, which has never told the two apart on a
// sample of millions. Linux keeps the library, so its outputs stay as they
// were; the Windows runtimes are off by up to thousands of units in the last
// place (more for large arguments), which does show in the exported bytes.
#if defined(_WIN32)
inline double Sine(double x) { return CorrectlyRoundedSine(x); }
inline double Cosine(double x) { return CorrectlyRoundedCosine(x); }
inline double ArcCosine(double x) { return CorrectlyRoundedArcCosine(x); }
#else
inline double Sine(double x) { return std::sin(x); }
inline double Cosine(double x) { return std::cos(x); }
inline double ArcCosine(double x) { return std::acos(x); }
#endif

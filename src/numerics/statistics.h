// Special functions of the gamma family and the error function.
#pragma once
#include <stdexcept>

namespace vorn {

// Functions of the gamma family and the error function in IEEE double precision. A domain error
// is never returned: the function throws a NumericDomainError whose text is the one line
// "Error:BentorStatLib:<function>: ...\n" that the driver prints before it ends the run with
// status 1 (the callers check their arguments, so this means a fault, not bad input). No state,
// no allocation.
struct NumericDomainError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// ln Gamma(x) for x >= 0; gammaln(0) is +inf.
double gammaln(double x);
// Digamma, the derivative of ln Gamma, for x > 0.
double psi(double x);
// Gamma density with shape a > 0 and scale b > 0; 0 for x < 0.
double gammapdf(double x, double a, double b);
// Regularized lower incomplete gamma P(a, x) into *P and its derivative in the shape into *dP,
// for x >= 0 and a >= 0. Shapes above 2^20 are mapped onto shape 2^20 by a normal rescaling.
void gammainc(double x, double a, double* P, double* dP);
// Gamma distribution function P(a, x / b); x is never negative in our use.
double gammacdf(double x, double a, double b);
// Gamma quantile for a percentile p in [0, 1), shape a > 0 and scale b > 0.
double gammainv(double p, double a, double b);
// Inverse of erfc for y in (0, 2).
double erfcinv(double y);
// Complementary error function 1 - erf(x).
double erfc(double x);
// x truncated toward zero.
double fix(double x);
// e^x when that is a finite double, otherwise 0 (overflow and NaN alike).
double safeexp(double x);

// A uniform draw k / 32768 in [0, 1) from the process-wide 0 ... 32767 generator
// (StandardRandom), never its top value.
double StandardUniform();
// One gamma-distributed draw: the gamma quantile of StandardUniform().
double gammarand(double a, double b);

}  // namespace vorn

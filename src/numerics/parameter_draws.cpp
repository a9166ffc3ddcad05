// Truncated exponential draws of starting shapes.
#include "numerics/parameter_draws.h"

#include <cmath>

namespace vorn {

double TruncatedExponentialAt(double mean, double minimum, double u) {
  const double upper = std::exp(-5000 / mean);
  return -mean * std::log(upper + (1 - u) * (std::exp(-minimum / mean) - upper));
}

}  // namespace vorn

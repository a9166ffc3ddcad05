// The distribution random starting shapes are drawn from.
#pragma once

namespace vorn {

// The inverse distribution function of an exponential of the given mean restricted to
// [minimum, 5000), at u in [0, 1): minimum at u = 0, approaching 5000 (the lambda ceiling) as u -> 1.
double TruncatedExponentialAt(double mean, double minimum, double u);

}  // namespace vorn

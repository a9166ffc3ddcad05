// The loss and no-gain chances of a branch, formed without cancellation.
#pragma once
#include <cmath>

namespace vorn {

// The chances that a branch loses a present character, 1 - (1 - phi) e, and that it keeps an absent
// one absent, 1 - xi (1 - e), with e = exp(-x) the decay of the rate over the branch. Written
// literally they lose ten or more of their bits to cancellation once below 2^-10, and round to 0
// long before the event becomes impossible (phi near 0 with a tiny rate, or xi near 1 with a large
// one), which would put a false wall of -infinity into every log-likelihood made of them: there
// they are formed from their small parts instead. Above it the literal form stands, so that values
// computed as they always were keep their last bits.
constexpr double kCancellationLimit = 1.0 / 1024;

inline double LossChance(double phi, double e, double x) {
  const double literal = 1 - (1 - phi) * e;
  return literal >= kCancellationLimit ? literal : phi + (1 - phi) * -std::expm1(-x);
}

inline double NoGainChance(double xi, double e, double open) {
  const double literal = 1 - xi * open;
  return literal >= kCancellationLimit ? literal : (1 - xi) + xi * e;
}

// Their logarithms to full relative precision, also where the chance is close to 1 and its
// logarithm small: objectives made of these must still tell apart points whose chances differ only
// beyond the sixteenth digit.
inline double LogLossChance(double phi, double e, double x) {
  const double keep = (1 - phi) * e;
  return keep < 0.5 ? std::log1p(-keep) : std::log(LossChance(phi, e, x));
}

inline double LogNoGainChance(double xi, double e, double open) {
  const double gain = xi * open;
  return gain < 0.5 ? std::log1p(-gain) : std::log(NoGainChance(xi, e, open));
}

// ln(1 - e^-x), the chance that an absent character is gained at rate x with a ceiling of 1.
inline double LogOpening(double e, double x) { return e < 0.5 ? std::log1p(-e) : std::log(-std::expm1(-x)); }

}  // namespace vorn

#include "wake_margin.h"

#include <algorithm>

std::int64_t wakeMarginNanos = kWakeMarginMaxNanos;

namespace {

// A late wake raises the margin at once to twice its lateness, since the
// next may come as late; an early one lowers it by this fraction of the
// difference, so that one quiet stretch does not undo what a busy one
// taught (about a hundred sleeps to forget a spike).
constexpr std::int64_t kForgetFraction = 32;

}  // namespace

void learnWake(std::int64_t lateNanos) {
    const std::int64_t wanted = std::clamp(2 * lateNanos, kWakeMarginMinNanos, kWakeMarginMaxNanos);
    if (wanted >= wakeMarginNanos) {
        wakeMarginNanos = wanted;
    } else {
        wakeMarginNanos -= (wakeMarginNanos - wanted) / kForgetFraction;
    }
}

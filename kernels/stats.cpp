/* Small statistics helpers exported for outside callers: half-up rounding,
 * mean, a qsort comparison and a low-side order statistic.
 *
 * Nothing here can throw: the only library calls are libm and qsort with a
 * comparison that does not throw.
 */
#include <cmath>
#include <cstddef>
#include <cstdlib>

#include "quasmir.h"

namespace {

constexpr double ROUND_BASE = 10.0;
constexpr double ROUND_TIE = 0.5;
/* Added to the rounded half count: median picks ceil(n/2) - 5. */
constexpr double MEDIAN_INDEX_OFFSET = -5.0;
/* Below this count ceil(n/2) - 5 is negative: nothing to pick. */
constexpr int32_t MEDIAN_MIN_COUNT = 9;

/* y rounded to an integer, ties towards +infinity.  A NaN fraction (y NaN
 * or infinite) fails the test and selects floor(y), which keeps y. */
double round_half_up(double y)
{
    const double f = std::floor(y);
    const double d = y - f;
    const double c = std::ceil(y);
    return d >= ROUND_TIE ? c : f;
}

}  // namespace

double rndup(int32_t n_decimals, double value)
{
    /* a = 10^n_decimals; infinite or zero for |n_decimals| out of range,
     * which makes every result NaN below. */
    const double a = std::pow(ROUND_BASE, static_cast<double>(n_decimals));
    /* Round the double product, then divide (not multiply by 10^-n). */
    return round_half_up(value * a) / a;
}

void avevar(const double *data, int32_t n, double *mean_out)
{
    /* Plain left-to-right sum, kept in *mean_out after every addition. */
    *mean_out = 0.0;
    for (int32_t i = 0; i < n; ++i) {
        *mean_out = *mean_out + data[i];
    }
    /* mean = sum / n; n = 0 gives NaN, n < 0 gives -0.0. */
    *mean_out = *mean_out / static_cast<double>(n);
}

int32_t compare(const void *lhs, const void *rhs)
{
    const double a = *static_cast<const double *>(lhs);
    const double b = *static_cast<const double *>(rhs);
    /* Both tests fail on a NaN, so NaN ties with everything; so do +0, -0. */
    return (a > b) - (a < b);
}

void median(double *data, int32_t n, double *median_out)
{
    /* A non-positive count must not reach qsort as a huge size_t. */
    if (n > 0) {
        std::qsort(data, static_cast<std::size_t>(n), sizeof(double), compare);
    }
    if (n < MEDIAN_MIN_COUNT) {
        *median_out = NAN;
        return;
    }
    /* index = ceil(n/2) - 5, four places below the (lower) middle. */
    const double h = static_cast<double>(n) * 0.5;
    const auto index =
        static_cast<int32_t>(round_half_up(h) + MEDIAN_INDEX_OFFSET);
    *median_out = data[index];
}

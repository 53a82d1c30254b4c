/* Inverted Gaussian line profiles evaluated on one common grid.
 *
 * Plain C ABI, libm only: the library is loaded by file name and bound by
 * symbol, so it carries no C++ runtime and no state.
 */
#include "linestack.h"

#include <cmath>
#include <cstddef>

namespace {

/* 2 sqrt(ln 2) as double arithmetic gives it, 2.0 * sqrt(log(2.0)): one ulp
 * below the correctly rounded value, and the one the profiles are defined
 * with.  exp(-(x / s)^2) is half its peak at x = +-fwhm/2 when
 * s = fwhm / GAUSS_FWHM_SCALE. */
constexpr double GAUSS_FWHM_SCALE = 1.6651092223153954;

/* Below this exponent exp gives exactly +0.0: e^-746 < 2^-1076, under half
 * the smallest subnormal 2^-1074, so the correctly rounded result is 0 and
 * an implementation within one ulp of it cannot give anything else. */
constexpr double EXP_ZERO_BELOW = -746.0;

}  // namespace

void C_coadd_loc_gauss_prof(const double *profile_rv,
                            const double *profile_contrast,
                            const double *profile_fwhm,
                            const double *profile_grid,
                            const double *profile_continuum, int32_t n_grid,
                            int32_t n_profiles, double *profile_out)
{
    /* Empty matrix: touch nothing, not even the per-profile arrays. */
    if (n_profiles <= 0 || n_grid <= 0) {
        return;
    }
    for (int32_t i = 0; i < n_profiles; ++i) {
        const double r = profile_rv[i];
        const double c = profile_contrast[i];
        const double w = profile_fwhm[i];
        const double k = profile_continuum[i];
        /* Row i starts at element i * n_grid; the caller keeps the product
         * within 32 bits, the wider type only spares the overflow. */
        double *row = profile_out + static_cast<std::ptrdiff_t>(i) * n_grid;
        /* Three passes over the row, each element's operations in the
         * order of the formula: the exponents (a loop without calls, which
         * the compiler vectorises), exp element by element, the profile.
         * The row holds the intermediate values. */
        for (int32_t j = 0; j < n_grid; ++j) {
            /* u = (x - r) * 2 sqrt(ln 2) / fwhm; exponent (-u) * u */
            const double u = ((profile_grid[j] - r) * GAUSS_FWHM_SCALE) / w;
            row[j] = (-u) * u;
        }
        /* Far in the wings exp is exactly 0.0 without being called (a NaN
         * exponent is not below the bound and goes to exp). */
        for (int32_t j = 0; j < n_grid; ++j) {
            const double e = row[j];
            row[j] = e < EXP_ZERO_BELOW ? 0.0 : std::exp(e);
        }
        /* out = k * (1 - c * g) */
        for (int32_t j = 0; j < n_grid; ++j) {
            row[j] = ((-c) * row[j] + 1.0) * k;
        }
    }
}

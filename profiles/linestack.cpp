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

/* Grid points per block: the exponents of a block stay in the L1 cache. */
constexpr int32_t BLOCK = 256;

/* The exponent (-u) * u, u = (x - r) * 2 sqrt(ln 2) / fwhm. */
inline double exponent(double x, double r, double w)
{
    const double u = ((x - r) * GAUSS_FWHM_SCALE) / w;
    return (-u) * u;
}

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
    /* The grid's extent.  |x - r| is largest at one of its ends, and every
     * step of the exponent is monotone in it, so a row whose exponents at
     * both ends are not below EXP_ZERO_BELOW has none below it anywhere
     * (a NaN end sends the row to the careful loop). */
    double lowest = profile_grid[0];
    double highest = profile_grid[0];
    for (int32_t j = 1; j < n_grid; ++j) {
        const double x = profile_grid[j];
        lowest = x < lowest ? x : lowest;
        highest = x > highest ? x : highest;
    }
    for (int32_t i = 0; i < n_profiles; ++i) {
        const double r = profile_rv[i];
        const double c = profile_contrast[i];
        const double w = profile_fwhm[i];
        const double k = profile_continuum[i];
        /* Row i starts at element i * n_grid; the caller keeps the product
         * within 32 bits, the wider type only spares the overflow. */
        double *row = profile_out + static_cast<std::ptrdiff_t>(i) * n_grid;
        const bool wings =
            !(exponent(lowest, r, w) >= EXP_ZERO_BELOW &&
              exponent(highest, r, w) >= EXP_ZERO_BELOW);
        /* The row in blocks of the grid, each in two passes with every
         * element's operations in the order of the formula: first the
         * exponents into a small block on the stack (a loop without calls,
         * which the compiler vectorises), then exp and the profile into
         * the row, which is written once. */
        for (int32_t j0 = 0; j0 < n_grid; j0 += BLOCK) {
            const int32_t m = n_grid - j0 < BLOCK ? n_grid - j0 : BLOCK;
            const double *x = profile_grid + j0;
            double *o = row + j0;
            double e[BLOCK];
            for (int32_t j = 0; j < m; ++j) {
                e[j] = exponent(x[j], r, w);
            }
            /* out = k * (1 - c * g).  Far in the wings exp is exactly 0.0
             * without being called (a NaN exponent is not below the bound
             * and goes to exp). */
            if (wings) {
                for (int32_t j = 0; j < m; ++j) {
                    const double g =
                        e[j] < EXP_ZERO_BELOW ? 0.0 : std::exp(e[j]);
                    o[j] = ((-c) * g + 1.0) * k;
                }
            } else {
                for (int32_t j = 0; j < m; ++j) {
                    o[j] = ((-c) * std::exp(e[j]) + 1.0) * k;
                }
            }
        }
    }
}

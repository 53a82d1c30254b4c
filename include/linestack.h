/* linestack: inverted Gaussian line profiles on a common grid.
 *
 * Row i of profile_out (n_profiles rows of n_grid doubles, row-major) is
 *   continuum[i] * (1 - contrast[i] * exp(-u*u)),
 *   u = (grid[j] - rv[i]) * 2 sqrt(ln 2) / fwhm[i].
 * Keep n_profiles * n_grid at or below 2^31 - 1.
 */
#ifndef LINESTACK_H
#define LINESTACK_H

#include <stdint.h>

#if defined(_WIN32)
#define LINESTACK_API __declspec(dllexport)
#else
#define LINESTACK_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

LINESTACK_API void C_coadd_loc_gauss_prof(const double *profile_rv,
                                          const double *profile_contrast,
                                          const double *profile_fwhm,
                                          const double *profile_grid,
                                          const double *profile_continuum,
                                          int32_t n_grid, int32_t n_profiles,
                                          double *profile_out);

#ifdef __cplusplus
}
#endif

#endif /* LINESTACK_H */

/* quasmir: Doppler radial velocities of a spectrum against a master.
 *
 * The C interface of the quasmir shared object, for callers that bind the
 * kernels directly (ctypes, cffi, C).  Arrays are contiguous IEEE doubles
 * owned by the caller; counts are 32-bit signed integers; velocities are in
 * m/s; wavelengths are in one unit for spectrum and master.
 *
 * The functions never check the caller's pointers, but they never read or
 * write outside arrays of the stated lengths, and they never stop the
 * process: counts that no result can be computed from, or a failed
 * allocation, give NaN results.
 */
#ifndef QUASMIR_H
#define QUASMIR_H

#include <stdint.h>

#if defined(_WIN32)
#define QUASMIR_API __declspec(dllexport)
#else
#define QUASMIR_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Wavelength shift that velocity v gives at wavelength lambda:
 * lambda * (sqrt((1 + v/c) / (1 - v/c)) - 1). */
QUASMIR_API double Delta_lambda(double v, double lambda);

/* Forward nearest-point match of each of the n_pix ascending wavelengths
 * `wave` on the ascending grid `wave_ref`; per pixel the matched grid value,
 * the flux there, its index and the pixel's offset from it. */
QUASMIR_API void obtain_same_sampling(const double *wave, int32_t n_pix,
                                      const double *wave_ref, int32_t n_ref,
                                      const double *flux_ref, double *wave_out,
                                      double *flux_out, int32_t *index_out,
                                      double *offset_out);

/* Bouchy optimal-weight velocity of `flux` against `model` on the same n
 * pixels, and its error. */
QUASMIR_API void calculate_RV_with_BOUCHY(const double *wave,
                                          const double *flux_err,
                                          const double *flux,
                                          const double *model, int32_t n,
                                          double *rv_out, double sys_err,
                                          double *rv_err_out);

/* Scan of n_trials trial velocities: per trial the Bouchy velocity, its
 * error, the reduced chi-square of the scale-and-offset fit and the two fit
 * coefficients (coeffs_out[t][0] scale, coeffs_out[t][1] offset). */
QUASMIR_API void get_RV_line_by_line_c(
    const double *rv_trials, double *rv_out, double *rv_err_out,
    double *chi2_red_out, int32_t n_trials, const double *wave, double sys_err,
    const double *flux_err, const double *flux, int32_t n_pix,
    const double *wave_master, const double *flux_master, int32_t n_master,
    double **coeffs_out);

/* First-order Taylor fit: flux = c0 * master + c1 * dmaster/dlambda.
 * coeff_offset_out is never touched (it may be null). */
QUASMIR_API void get_RV_line_by_line_Bouchy_without_offset(
    double *coeff_scale_out, double *rv_out, double *rv_err_out,
    double *coeff_offset_out, double *chi2_red_out, const double *wave,
    double lambda_ref, double sys_err, double rv_shift, const double *flux_err,
    const double *flux, int32_t n_pix, const double *wave_master,
    const double *flux_master, int32_t n_master);

/* First-order Taylor fit with a constant: flux = c0 * master
 * + c1 * dmaster/dlambda + c2. */
QUASMIR_API void get_RV_line_by_line_Bouchy_with_offset(
    double *coeff_scale_out, double *rv_out, double *rv_err_out,
    double *coeff_offset_out, double *chi2_red_out, const double *wave,
    double lambda_ref, double sys_err, double rv_shift, const double *flux_err,
    const double *flux, int32_t n_pix, const double *wave_master,
    const double *flux_master, int32_t n_master);

/* Second-order Taylor fit: flux = c0 * master + c1 * dmaster/dlambda
 * + c2 * d2master/dlambda2.  Fills the caller's shifted grid, derivative
 * tables and interpolated design columns; spare_out is never touched. */
QUASMIR_API void get_RV_line_by_line_Bouchy_with_offset_second_order_deriv(
    double *coeff_scale_out, double *coeff_deriv1_out,
    double *coeff_deriv2_out, double *rv_out, double *rv_err_out,
    double *spare_out, double lambda_ref, double sys_err, double rv_shift,
    double *chi2_red_out, const double *wave, const double *flux_err,
    const double *flux, int32_t n_pix, const double *wave_master,
    const double *flux_master, int32_t n_master,
    double *wavelength_master_shift, double *dflux_master,
    double *d2flux_master, double *flux_master_interp,
    double *dflux_master_interp, double *d2flux_master_interp);

/* value rounded half up (ties towards +infinity) at n_decimals decimals. */
QUASMIR_API double rndup(int32_t n_decimals, double value);

/* Arithmetic mean of n values into *mean_out (the running sum lives there
 * too). */
QUASMIR_API void avevar(const double *data, int32_t n, double *mean_out);

/* Three-way comparison of two doubles, in the form qsort takes. */
QUASMIR_API int32_t compare(const void *lhs, const void *rhs);

/* Sorts data in place and picks the element four places below the (lower)
 * middle one; NaN for n < 9. */
QUASMIR_API void median(double *data, int32_t n, double *median_out);

#ifdef __cplusplus
}
#endif

#endif /* QUASMIR_H */

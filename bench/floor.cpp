// Floors and literal twins for the benchmark, built by bench/run.py with
// the system compiler at run time (never part of the installed package):
//
// - bare_fits / bare_window_fits: gsl_multifit_wlinear alone on given
//   design rows and weights: what a fit costs at the least.
// - exp_rows: scalar exp calls, row after row: what linestack costs at the
//   least.
// - literal_scan: the trial scan as written, shifting and walking the
//   whole master for every trial (the kernel before the search), from the
//   same shared procedures as the kernels.
#include <gsl/gsl_errno.h>
#include <gsl/gsl_multifit.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "numerics.hpp"

using namespace quasmir;

extern "C" {

// count fits of the same n x p rows.  fresh != 0: each fit allocates and
// frees its own workspace, as one independent call must; else one
// workspace serves the whole loop.
void bare_fits(const double *design, const double *weights, const double *obs,
               int32_t n, int32_t p, int32_t count, int32_t fresh,
               double *coeffs_out)
{
    gsl_set_error_handler_off();
    const std::size_t np = static_cast<std::size_t>(p);
    FitWorkspace shared = fresh ? nullptr : fit_workspace(n, np);
    double cov[9];
    double chisq;
    for (int32_t i = 0; i < count; ++i) {
        FitWorkspace own = fresh ? fit_workspace(n, np) : nullptr;
        weighted_linear_fit(design, weights, obs, n, np,
                            fresh ? own.get() : shared.get(), coeffs_out, cov,
                            &chisq);
    }
}

// One fit per window: rows start[i] .. start[i] + rows[i] - 1 of the
// n x p row-major design; windows with fewer than p rows are skipped.
void bare_window_fits(const double *design, const double *weights,
                      const double *obs, const int64_t *start,
                      const int64_t *rows, int32_t n_windows, int32_t p,
                      double *coeffs_out)
{
    gsl_set_error_handler_off();
    int64_t most = 1;
    for (int32_t i = 0; i < n_windows; ++i) {
        most = rows[i] > most ? rows[i] : most;
    }
    const std::size_t np = static_cast<std::size_t>(p);
    FitWorkspace work = fit_workspace(static_cast<int32_t>(most), np);
    double cov[9];
    double chisq;
    for (int32_t i = 0; i < n_windows; ++i) {
        if (rows[i] < p) {
            continue;
        }
        weighted_linear_fit(design + start[i] * p, weights + start[i],
                            obs + start[i], static_cast<int32_t>(rows[i]), np,
                            work.get(), coeffs_out + np * i, cov, &chisq);
    }
}

// out[i * n_args + j] = exp(args[j]) for n_rows rows.
void exp_rows(const double *args, int32_t n_args, int32_t n_rows, double *out)
{
    for (int32_t i = 0; i < n_rows; ++i) {
        double *row = out + static_cast<std::ptrdiff_t>(i) * n_args;
        for (int32_t j = 0; j < n_args; ++j) {
            row[j] = std::exp(args[j]);
        }
    }
}

// The scan with a whole-master shift and a walk from index 0 per trial;
// results into rv, rv_err, chi2_red and coeffs (n_trials x 2).
void literal_scan(const double *rv_trials, int32_t n_trials,
                  const double *wave, const double *flux_err,
                  const double *flux, int32_t n_pix,
                  const double *wave_master, const double *flux_master,
                  int32_t n_master, double sys_err, double *rv_out,
                  double *rv_err_out, double *chi2_red_out, double *coeffs)
{
    const std::size_t n = static_cast<std::size_t>(n_pix);
    std::vector<double> shifted(static_cast<std::size_t>(n_master));
    std::vector<double> design(2 * n), weights(n), err_sq(n), model(n);
    FitWorkspace work = fit_workspace(n_pix, 2);
    const double sys_err_sq = sys_err * sys_err;
    for (std::size_t k = 0; k < n; ++k) {
        err_sq[k] = error_squared(flux_err[k], sys_err_sq);
        weights[k] = 1.0 / err_sq[k];
        design[2 * k + 1] = 1.0;
    }
    double cov[4];
    double chisq = -10.0;
    for (int32_t t = 0; t < n_trials; ++t) {
        shift_master_grid(wave_master, n_master, rv_trials[t],
                          shifted.data());
        ForwardMatcher match(shifted.data(), n_master);
        for (std::size_t k = 0; k < n; ++k) {
            design[2 * k] = flux_master[match.next(wave[k])];
        }
        double *c = coeffs + 2 * t;
        weighted_linear_fit(design.data(), weights.data(), flux, n_pix, 2,
                            work.get(), c, cov, &chisq);
        double sum = 0.0;
        for (std::size_t k = 0; k < n; ++k) {
            model[k] = c[0] * design[2 * k] + c[1];
            sum = sum + model[k];
        }
        if (sum == 0.0) {
            rv_out[t] = rv_err_out[t] = chi2_red_out[t] = RV_UNSET;
            continue;
        }
        const double *e = err_sq.data();
        bouchy_velocity(
            wave, flux, model.data(), n_pix,
            [e](int32_t k) { return e[k]; }, &rv_out[t], &rv_err_out[t]);
        chi2_red_out[t] = chisq / static_cast<double>(n_pix - 3);
    }
}

}  // extern "C"

// The trial-velocity scan: for each trial velocity, shift the master, give
// every pixel the master flux of its nearest shifted point, fit the
// spectrum as scale * master + offset and measure the velocity left
// between spectrum and fitted model with the Bouchy estimator.
#include "kernels.hpp"
#include "numerics.hpp"
#include "quasmir.h"

namespace quasmir {

namespace {

void write_unset(double *rv_out, double *rv_err_out, double *chi2_red_out,
                 std::int32_t n_trials, CoeffRows coeffs_out) noexcept
{
    for (std::int32_t t = 0; t < n_trials; ++t) {
        rv_out[t] = NaN;
        rv_err_out[t] = NaN;
        chi2_red_out[t] = NaN;
        coeffs_out.row(t)[0] = NaN;
        coeffs_out.row(t)[1] = NaN;
    }
}

}  // namespace

Status rv_scan(const double *rv_trials, double *rv_out, double *rv_err_out,
               double *chi2_red_out, std::int32_t n_trials, const double *wave,
               double sys_err, const double *flux_err, const double *flux,
               std::int32_t n_pix, const double *wave_master,
               const double *flux_master, std::int32_t n_master,
               CoeffRows coeffs_out) noexcept
{
    if (n_trials <= 0) {
        return Status::ok;
    }
    // Two fit parameters need two pixels; matching needs one master point.
    if (n_pix < 2 || n_master < 1) {
        write_unset(rv_out, rv_err_out, chi2_red_out, n_trials, coeffs_out);
        return Status::bad_counts;
    }

    const std::size_t n = static_cast<std::size_t>(n_pix);
    const std::size_t m = static_cast<std::size_t>(n_master);
    auto storage = scratch<double>(m + 5 * n);
    FitWorkspace work = storage ? fit_workspace(n_pix, 2) : nullptr;
    if (!work) {
        write_unset(rv_out, rv_err_out, chi2_red_out, n_trials, coeffs_out);
        return Status::no_memory;
    }
    double *shifted = storage.get();
    double *design = shifted + m;  // rows (matched master flux, 1.0)
    double *weights = design + 2 * n;
    double *err_sq = weights + n;
    double *model = err_sq + n;

    // The weights do not depend on the trial.
    const double sys_err_sq = sys_err * sys_err;
    for (std::size_t k = 0; k < n; ++k) {
        err_sq[k] = error_squared(flux_err[k], sys_err_sq);
        weights[k] = 1.0 / err_sq[k];
        design[2 * k + 1] = 1.0;
    }

    double coeffs[2];
    double cov[4];
    double chisq = -10.0;
    for (std::int32_t t = 0; t < n_trials; ++t) {
        shift_master_grid(wave_master, n_master, rv_trials[t], shifted);
        ForwardMatcher match(shifted, n_master);
        for (std::size_t k = 0; k < n; ++k) {
            design[2 * k] = flux_master[match.next(wave[k])];
        }

        double *row = coeffs_out.row(t);
        // A fit GSL could not make gives this trial no results.
        if (!weighted_linear_fit(design, weights, flux, n_pix, 2, work.get(),
                                 coeffs, cov, &chisq)) {
            row[0] = row[1] = NaN;
            rv_out[t] = rv_err_out[t] = chi2_red_out[t] = NaN;
            continue;
        }
        const double c0 = coeffs[0];  // scale
        const double c1 = coeffs[1];  // offset
        row[0] = c0;
        row[1] = c1;

        double sum = 0.0;
        for (std::size_t k = 0; k < n; ++k) {
            model[k] = c0 * design[2 * k] + c1;
            sum = sum + model[k];
        }
        // A model that vanishes everywhere carries no velocity.
        if (sum == 0.0) {
            rv_out[t] = RV_UNSET;
            rv_err_out[t] = RV_UNSET;
            chi2_red_out[t] = RV_UNSET;
            continue;
        }
        bouchy_velocity(
            wave, flux, model, n_pix,
            [err_sq](std::int32_t k) { return err_sq[k]; }, &rv_out[t],
            &rv_err_out[t]);
        chi2_red_out[t] = chisq / static_cast<double>(n_pix - 3);
    }
    return Status::ok;
}

}  // namespace quasmir

extern "C" void get_RV_line_by_line_c(const double *rv_trials, double *rv_out,
                                      double *rv_err_out, double *chi2_red_out,
                                      int32_t n_trials, const double *wave,
                                      double sys_err, const double *flux_err,
                                      const double *flux, int32_t n_pix,
                                      const double *wave_master,
                                      const double *flux_master,
                                      int32_t n_master, double **coeffs_out)
{
    quasmir::CoeffRows rows;
    rows.rows = coeffs_out;
    quasmir::rv_scan(rv_trials, rv_out, rv_err_out, chi2_red_out, n_trials,
                     wave, sys_err, flux_err, flux, n_pix, wave_master,
                     flux_master, n_master, rows);
}

// The shared procedures as exported functions for outside callers.
#include "numerics.hpp"
#include "quasmir.h"

using namespace quasmir;

extern "C" {

double Delta_lambda(double v, double lambda)
{
    const double b = v / C_LIGHT;
    return (1.0 - std::sqrt((b + 1.0) / (1.0 - b))) * (-lambda);
}

void obtain_same_sampling(const double *wave, int32_t n_pix,
                          const double *wave_ref, int32_t n_ref,
                          const double *flux_ref, double *wave_out,
                          double *flux_out, int32_t *index_out,
                          double *offset_out)
{
    if (n_pix <= 0) {
        return;
    }
    // An empty grid has no point to match to: no index, NaN values.
    if (n_ref <= 0) {
        for (int32_t j = 0; j < n_pix; ++j) {
            wave_out[j] = NaN;
            flux_out[j] = NaN;
            index_out[j] = -1;
            offset_out[j] = NaN;
        }
        return;
    }
    ForwardMatcher match(wave_ref, n_ref);
    for (int32_t j = 0; j < n_pix; ++j) {
        const int32_t m = match.next(wave[j]);
        wave_out[j] = wave_ref[m];
        flux_out[j] = flux_ref[m];
        index_out[j] = m;
        offset_out[j] = wave[j] - wave_ref[m];
    }
}

void calculate_RV_with_BOUCHY(const double *wave, const double *flux_err,
                              const double *flux, const double *model,
                              int32_t n, double *rv_out, double sys_err,
                              double *rv_err_out)
{
    const double sys_err_sq = sys_err * sys_err;
    bouchy_velocity(
        wave, flux, model, n,
        [=](int32_t k) { return error_squared(flux_err[k], sys_err_sq); },
        rv_out, rv_err_out);
}

}  // extern "C"

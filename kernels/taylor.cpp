// The Taylor estimators.  The master is shifted once by rv_shift; its flux
// and wavelength derivative(s) on the shifted grid are interpolated to the
// pixels, and the spectrum is fitted as
//   c0 * master + c1 * dmaster/dlambda [+ c2 (offset) | + c2 * d2master].
// A model shifted by dlambda is master - dlambda * dmaster/dlambda, so the
// remaining shift is -c1/c0, a velocity of -(c1/c0)/lambda_ref * c.
//
// The passes run one after another in ascending index order and write each
// value once, so a caller of the second-order kernel may hand in output
// arrays that overlap its inputs and get the sequential results.
#include <cstdio>

#include "kernels.hpp"
#include "matching.hpp"
#include "numerics.hpp"
#include "quasmir.h"
#include "taylor_scratch.hpp"

namespace quasmir {

namespace {

// Forward difference of q over the grid, for i in [0, m - 2].
void forward_derivative(const double *q, const double *grid, std::int32_t m,
                        double *out) noexcept
{
    for (std::int32_t i = 0; i + 1 < m; ++i) {
        out[i] = (q[i + 1] - q[i]) / (grid[i + 1] - grid[i]);
    }
}

// Linear interpolation of q at t through the grid points lo and hi.
inline double interpolate(const double *q, const double *grid, std::int32_t lo,
                          std::int32_t hi, double t) noexcept
{
    const double slope = (q[hi] - q[lo]) / (grid[hi] - grid[lo]);
    return slope * t + (q[hi] - grid[hi] * slope);
}

// The same with the bracket's slope already at hand.
inline double interpolate(double slope, const double *q, const double *grid,
                          std::int32_t hi, double t) noexcept
{
    return slope * t + (q[hi] - grid[hi] * slope);
}

void edge_warning(const char *which, double wave, double g0, double g1)
{
    std::printf(
        "\n\n----- Be careful, want to access a value outside vector "
        "wavelength_master_shift bounds (wave=%.4f, wave_master[%s]=%.4f,"
        "%.4f)  ------\n\n",
        wave, which, g0, g1);
    std::fflush(stdout);
}

// A line-sized fit (storage up to KEPT_BYTES_MAX) uses storage its thread
// keeps from one fit to the next, so that it allocates nothing; larger fits
// allocate their own for the call.
constexpr std::size_t KEPT_BYTES_MAX = 256 * 1024;

TaylorScratch &kept_scratch() noexcept
{
    thread_local TaylorScratch kept;
    return kept;
}

void write_nan(TaylorResult *out) noexcept
{
    out->coeffs[0] = out->coeffs[1] = out->coeffs[2] = NaN;
    out->rv_fitted = out->rv = out->rv_err = out->chi2_red = NaN;
}

// The bracket (lo, lo + 1) of a pixel at t matched to grid point j
// (offset t - grid[j]): (j - 1, j) left of its match, else (j, j + 1);
// outside the grid, the edge interval, whose line continues the master
// linearly.  The grid's points 0, 1, n - 2 and n - 1 go into the warnings.
template <class Grid>
std::int32_t bracket_of(std::int32_t j, double offset, const Grid &grid,
                        std::int32_t n_master, const TaylorInput &in,
                        bool warn)
{
    std::int32_t lo = offset < 0.0 ? j - 1 : j;
    if (lo < 0) {
        if (warn) {
            edge_warning("0,1", in.wave[0], grid[0], grid[1]);
        }
        lo = 0;
    } else if (lo + 1 >= n_master) {
        if (warn) {
            edge_warning("-2,-1", in.wave[in.n_pix - 1], grid[n_master - 2],
                         grid[n_master - 1]);
        }
        lo = n_master - 2;
    }
    return lo;
}

// slope * t + (q_hi - g_hi * slope): the line through (g_hi, q_hi) at t.
inline double line_at(double slope, double q_hi, double g_hi,
                      double t) noexcept
{
    return slope * t + (q_hi - g_hi * slope);
}

// The design rows of the first-order fits, whose tables the kernel keeps
// to itself, in one pass over the pixels.  Each shifted master point,
// derivative entry and bracket is computed where it is read, by the
// operations that would fill the whole-grid tables (shifted point
// x - x*f; d1[i] = (q[i+1] - q[i]) / (g[i+1] - g[i]), 0.0 at the last
// point), so every row has the bits the tables would give it, without
// writing and reading the tables back.
void own_table_design(Taylor kind, const TaylorInput &in, std::size_t np,
                      double *design, bool warn) noexcept
{
    const std::int32_t m = in.n_master;
    const double *q = in.flux_master;
    const ShiftedGrid g(in.wave_master, m, doppler_factor(in.rv_shift));
    const auto d1 = [&](std::int32_t i) {
        return i + 1 < m ? (q[i + 1] - q[i]) / (g[i + 1] - g[i]) : 0.0;
    };
    ForwardWalk<ShiftedGrid> match(g);
    // The bracket whose points and derivatives are at hand: consecutive
    // pixels share one or move to the next.
    std::int32_t at = -2;
    double g_lo = 0.0, g_hi = 0.0, d_lo = 0.0, d_hi = 0.0;
    for (std::int32_t k = 0; k < in.n_pix; ++k) {
        const double t = in.wave[k];
        const std::int32_t j = match.next(t);
        const std::int32_t lo = bracket_of(j, t - g[j], g, m, in, warn);
        if (lo != at) {
            if (lo == at + 1) {
                g_lo = g_hi;
                d_lo = d_hi;
            } else {
                g_lo = g[lo];
                d_lo = d1(lo);
            }
            g_hi = g[lo + 1];
            d_hi = d1(lo + 1);
            at = lo;
        }
        double *row = design + np * static_cast<std::size_t>(k);
        row[0] = line_at(d_lo, q[lo + 1], g_hi, t);
        row[1] = line_at((d_hi - d_lo) / (g_hi - g_lo), d_hi, g_hi, t);
        if (kind == Taylor::with_offset) {
            row[2] = 1.0;
        }
    }
}

// The design rows from the caller's tables, which are filled first (the
// shifted grid, the derivatives, the columns interpolated to the pixels)
// and returned whole; they may overlap the inputs.
void table_design(Taylor kind, const TaylorInput &in,
                  const TaylorTables &tab, std::size_t np,
                  std::int32_t *bracket, double *match_offset, double *design,
                  bool warn) noexcept
{
    const std::int32_t n_pix = in.n_pix;
    const std::int32_t n_master = in.n_master;
    const double *grid = tab.shifted;
    shift_master_grid(in.wave_master, n_master, in.rv_shift, tab.shifted);
    // There is no pair for the last point (the last two for the second
    // derivative): the caller's entries there keep their value.
    forward_derivative(in.flux_master, grid, n_master, tab.d1);
    if (kind == Taylor::second_order) {
        forward_derivative(tab.d1, grid, n_master - 1, tab.d2);
    }

    ForwardMatcher match(grid, n_master);
    for (std::int32_t k = 0; k < n_pix; ++k) {
        const std::int32_t j = match.next(in.wave[k]);
        bracket[k] = j;
        match_offset[k] = in.wave[k] - grid[j];
    }
    for (std::int32_t k = 0; k < n_pix; ++k) {
        bracket[k] =
            bracket_of(bracket[k], match_offset[k], grid, n_master, in, warn);
    }
    for (std::int32_t k = 0; k < n_pix; ++k) {
        const double t = in.wave[k];
        const std::int32_t lo = bracket[k];
        const std::int32_t hi = lo + 1;
        tab.flux_interp[k] = interpolate(in.flux_master, grid, lo, hi, t);
        tab.d1_interp[k] = interpolate(tab.d1, grid, lo, hi, t);
        if (kind == Taylor::second_order) {
            tab.d2_interp[k] = interpolate(tab.d2, grid, lo, hi, t);
        }
    }
    for (std::int32_t k = 0; k < n_pix; ++k) {
        double *row = design + np * static_cast<std::size_t>(k);
        row[0] = tab.flux_interp[k];
        row[1] = tab.d1_interp[k];
        if (kind == Taylor::with_offset) {
            row[2] = 1.0;
        } else if (kind == Taylor::second_order) {
            row[2] = tab.d2_interp[k];
        }
    }
}

}  // namespace

Status taylor_fit(Taylor kind, const TaylorInput &in,
                  const TaylorTables *tables, TaylorResult *out,
                  Print print, TaylorScratch *reuse) noexcept
{
    const bool warn = print == Print::all && kind == Taylor::first_order;
    const std::int32_t p = taylor_params(kind);
    if (in.n_pix < p || in.n_master < 2) {
        write_nan(out);
        return Status::bad_counts;
    }
    const std::int32_t n_pix = in.n_pix;
    const std::size_t n = static_cast<std::size_t>(n_pix);
    const std::size_t np = static_cast<std::size_t>(p);

    // offsets, weights, design
    const std::size_t doubles = taylor_scratch_doubles(kind, n);
    TaylorScratch own;
    TaylorScratch &room =
        reuse != nullptr ? *reuse
        : taylor_scratch_bytes(n, np, doubles) <= KEPT_BYTES_MAX
            ? kept_scratch()
            : own;
    if (!room.reserve(n, np, doubles)) {
        write_nan(out);
        return Status::no_memory;
    }
    gsl_multifit_linear_workspace *work = room.workspace();
    double *match_offset = room.doubles();
    double *weights = match_offset + n;
    double *design = weights + n;
    if (tables == nullptr) {
        own_table_design(kind, in, np, design, warn);
    } else {
        table_design(kind, in, *tables, np, room.indices(), match_offset,
                     design, warn);
    }

    // A loop of its own, which the compiler vectorises.
    const double sys_err_sq = in.sys_err * in.sys_err;
    for (std::int32_t k = 0; k < n_pix; ++k) {
        weights[k] = 1.0 / error_squared(in.flux_err[k], sys_err_sq);
    }

    double coeffs[3] = {0.0, 0.0, 0.0};
    double cov[9];
    double chisq = -10.0;
    if (!weighted_linear_fit(design, weights, in.flux, n_pix, np, work,
                             coeffs, cov, &chisq)) {
        // No fit, no results; the second-order line still shows the call.
        write_nan(out);
        if (kind == Taylor::second_order && print == Print::all) {
            std::printf("%.2f\n", NaN);
            std::fflush(stdout);
        }
        return Status::ok;
    }
    const double c0 = coeffs[0];
    const double c1 = coeffs[1];

    // u = -(c1/c0) / lambda_ref * c, the velocity left after the shift
    const double u = (-c1) / c0 / in.lambda_ref * C_LIGHT;
    if (kind == Taylor::second_order && print == Print::all) {
        std::printf("%.2f\n", u);
        std::fflush(stdout);
    }
    // var(c1/c0) to first order, without the cross term:
    // E = (c1/c0^2)^2 var(c0) + (1/c0)^2 var(c1)
    const double a = 1.0 / c0;
    const double b = (-c1) / (c0 * c0);
    const double E = b * b * cov[0] + a * a * cov[np + 1];
    const double s = (E == -Inf) ? Inf : std::fabs(std::sqrt(E));

    out->coeffs[0] = c0;
    out->coeffs[1] = c1;
    out->coeffs[2] = coeffs[2];
    out->rv_fitted = u;
    out->rv = u + in.rv_shift;
    out->rv_err = s / in.lambda_ref * C_LIGHT;
    out->chi2_red = chisq / static_cast<double>(n_pix - p - 1);
    return Status::ok;
}

}  // namespace quasmir

using namespace quasmir;

namespace {

TaylorInput taylor_input(const double *wave, double lambda_ref, double sys_err,
                         double rv_shift, const double *flux_err,
                         const double *flux, int32_t n_pix,
                         const double *wave_master, const double *flux_master,
                         int32_t n_master)
{
    return TaylorInput{wave,        flux_err, flux,       n_pix,   wave_master,
                       flux_master, n_master, lambda_ref, sys_err, rv_shift};
}

// The two first-order kernels share one parameter list; only the fit with
// an offset writes coeff_offset_out.
void first_order_kernel(Taylor kind, double *coeff_scale_out, double *rv_out,
                        double *rv_err_out, double *coeff_offset_out,
                        double *chi2_red_out, const TaylorInput &in)
{
    TaylorResult r;
    taylor_fit(kind, in, nullptr, &r);
    *coeff_scale_out = r.coeffs[0];
    *rv_out = r.rv;
    *rv_err_out = r.rv_err;
    if (kind == Taylor::with_offset) {
        *coeff_offset_out = r.coeffs[2];
    }
    *chi2_red_out = r.chi2_red;
}

}  // namespace

extern "C" {

void get_RV_line_by_line_Bouchy_without_offset(
    double *coeff_scale_out, double *rv_out, double *rv_err_out,
    double *coeff_offset_out, double *chi2_red_out, const double *wave,
    double lambda_ref, double sys_err, double rv_shift, const double *flux_err,
    const double *flux, int32_t n_pix, const double *wave_master,
    const double *flux_master, int32_t n_master)
{
    first_order_kernel(
        Taylor::first_order, coeff_scale_out, rv_out, rv_err_out,
        coeff_offset_out, chi2_red_out,
        taylor_input(wave, lambda_ref, sys_err, rv_shift, flux_err, flux,
                     n_pix, wave_master, flux_master, n_master));
}

void get_RV_line_by_line_Bouchy_with_offset(
    double *coeff_scale_out, double *rv_out, double *rv_err_out,
    double *coeff_offset_out, double *chi2_red_out, const double *wave,
    double lambda_ref, double sys_err, double rv_shift, const double *flux_err,
    const double *flux, int32_t n_pix, const double *wave_master,
    const double *flux_master, int32_t n_master)
{
    first_order_kernel(
        Taylor::with_offset, coeff_scale_out, rv_out, rv_err_out,
        coeff_offset_out, chi2_red_out,
        taylor_input(wave, lambda_ref, sys_err, rv_shift, flux_err, flux,
                     n_pix, wave_master, flux_master, n_master));
}

void get_RV_line_by_line_Bouchy_with_offset_second_order_deriv(
    double *coeff_scale_out, double *coeff_deriv1_out,
    double *coeff_deriv2_out, double *rv_out, double *rv_err_out,
    double * /* spare_out: never touched */, double lambda_ref, double sys_err,
    double rv_shift, double *chi2_red_out, const double *wave,
    const double *flux_err, const double *flux, int32_t n_pix,
    const double *wave_master, const double *flux_master, int32_t n_master,
    double *wavelength_master_shift, double *dflux_master,
    double *d2flux_master, double *flux_master_interp,
    double *dflux_master_interp, double *d2flux_master_interp)
{
    const TaylorTables tables{wavelength_master_shift, dflux_master,
                              d2flux_master,           flux_master_interp,
                              dflux_master_interp,     d2flux_master_interp};
    TaylorResult r;
    taylor_fit(Taylor::second_order,
               taylor_input(wave, lambda_ref, sys_err, rv_shift, flux_err,
                            flux, n_pix, wave_master, flux_master, n_master),
               &tables, &r);
    *coeff_scale_out = r.coeffs[0];
    *coeff_deriv1_out = r.coeffs[1];
    *coeff_deriv2_out = r.coeffs[2];
    *rv_out = r.rv;
    *rv_err_out = r.rv_err;
    *chi2_red_out = r.chi2_red;
}

}  // extern "C"

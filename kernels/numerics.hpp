// Numerical procedures shared by the velocity kernels: the Doppler shift of
// the master grid, the forward nearest-point match, the weighted linear fit
// and the Bouchy optimal-weight estimator.
//
// Every step is one separately rounded IEEE double operation, in the order
// written; the build forbids contraction into fused multiply-adds.
#ifndef QUASMIR_NUMERICS_HPP
#define QUASMIR_NUMERICS_HPP

#include <gsl/gsl_errno.h>
#include <gsl/gsl_multifit.h>

#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <mutex>
#include <new>

namespace quasmir {

constexpr double C_LIGHT = 299792458.0;  // m/s
constexpr double RV_UNSET = 100000.0;    // a result that was not computed
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double Inf = std::numeric_limits<double>::infinity();

// Scratch storage of n elements, or null when memory is short.
template <class T>
std::unique_ptr<T[]> scratch(std::size_t n) noexcept
{
    return std::unique_ptr<T[]>(new (std::nothrow) T[n == 0 ? 1 : n]);
}

// f = 1 - sqrt((b + 1) / (1 - b)), b = v / c: the grid shifted by v is
// x - x*f = x * sqrt((1 + b) / (1 - b)).
inline double doppler_factor(double v) noexcept
{
    const double b = v / C_LIGHT;
    return 1.0 - std::sqrt((b + 1.0) / (1.0 - b));
}

// No restrict: a caller may shift the grid in place.
inline void shift_master_grid(const double *wave_master, std::int32_t n,
                              double v, double *shifted) noexcept
{
    const double f = doppler_factor(v);
    for (std::int32_t i = 0; i < n; ++i) {
        const double x = wave_master[i];
        shifted[i] = x - x * f;
    }
}

// Nearest grid point to each of a run of ascending targets.  The search
// starts at the previous match and walks forward while the distance
// strictly shrinks, so matches never move back and ties keep the lower
// index.  A target no candidate is accepted for (NaN, or a distance of
// 1e30 or more) keeps the previous match, which is always inside the grid.
// The grid must hold at least one point.
class ForwardMatcher {
public:
    ForwardMatcher(const double *grid, std::int32_t n) noexcept
        : grid_(grid), n_(n)
    {
    }

    std::int32_t next(double target) noexcept
    {
        double best = 1e30;
        std::int32_t k = start_;
        while (k < n_) {
            const double d = std::fabs(grid_[k] - target);
            if (!(best > d)) {
                break;
            }
            best = d;
            ++k;
        }
        if (k > start_) {
            start_ = k - 1;
        }
        return start_;
    }

private:
    const double *grid_;
    std::int32_t n_;
    std::int32_t start_ = 0;
};

// w = 1 / h^2, h = sqrt(err^2 + sys^2).  Returns h^2, which the Bouchy
// estimator divides by as well.
inline double error_squared(double flux_err, double sys_err_sq) noexcept
{
    const double h = std::sqrt(flux_err * flux_err + sys_err_sq);
    return h * h;
}

// GSL reports a failure (an SVD that does not converge, a failed
// allocation) through its error handler, which stops the process by
// default.  quasmir installs, once, a handler in front of whatever handler
// was there: inside a quasmir fit on this thread it records the failure
// and returns, so that the fit reports it; anywhere else it passes the
// error on to the previous handler, or does what GSL's default does.
namespace fit_guard {

struct State {
    bool inside = false;
    bool failed = false;
};

inline State &state() noexcept
{
    static thread_local State s;
    return s;
}

inline std::atomic<gsl_error_handler_t *> &previous() noexcept
{
    static std::atomic<gsl_error_handler_t *> handler{nullptr};
    return handler;
}

inline void handler(const char *reason, const char *file, int line,
                    int gsl_errno)
{
    State &s = state();
    if (s.inside) {
        s.failed = true;
        return;
    }
    gsl_error_handler_t *next = previous().load(std::memory_order_acquire);
    if (next != nullptr) {
        next(reason, file, line, gsl_errno);
        return;
    }
    // gsl_error without a handler
    gsl_stream_printf("ERROR", file, line, reason);
    std::fflush(stdout);
    std::fprintf(stderr, "Default GSL error handler invoked.\n");
    std::fflush(stderr);
    std::abort();
}

// A handler installed after this one replaces it; the fit's status still
// tells a failure apart when that handler returns.
inline void install() noexcept
{
    static std::once_flag once;
    std::call_once(once, [] {
        // Between these two steps another thread's GSL error would find
        // no previous handler; nothing closer is possible, as GSL has no
        // way to read the handler without replacing it.
        gsl_error_handler_t *old = gsl_set_error_handler(&handler);
        previous().store(old, std::memory_order_release);
    });
}

// Marks this thread as inside a quasmir fit for the guard's lifetime.
class Scope {
public:
    Scope() noexcept
    {
        install();
        state().inside = true;
        state().failed = false;
    }
    ~Scope() { state().inside = false; }
    Scope(const Scope &) = delete;
    Scope &operator=(const Scope &) = delete;

    bool failed() const noexcept { return state().failed; }
};

}  // namespace fit_guard

struct WorkspaceFree {
    void operator()(gsl_multifit_linear_workspace *w) const noexcept
    {
        gsl_multifit_linear_free(w);
    }
};
using FitWorkspace =
    std::unique_ptr<gsl_multifit_linear_workspace, WorkspaceFree>;

// Makes sure the memory is there before asking GSL; an allocation that
// fails all the same comes back as null.
inline FitWorkspace fit_workspace(std::int32_t n, std::size_t p) noexcept
{
    const std::size_t rows = static_cast<std::size_t>(n);
    const std::size_t bytes =
        (rows * p + rows + 2 * p * p + 3 * p) * sizeof(double) + 4096;
    void *probe = std::malloc(bytes);
    if (probe == nullptr) {
        return nullptr;
    }
    std::free(probe);
    fit_guard::Scope guard;
    FitWorkspace work(gsl_multifit_linear_alloc(rows, p));
    if (guard.failed()) {
        work.reset();
    }
    return work;
}

// Weighted least squares of obs on the n x p row-major design, by
// gsl_multifit_wlinear.  Returns false when GSL reports a failure (an SVD
// that does not converge); coeffs, cov and chisq are then meaningless.  A
// degenerate or non-finite system that GSL does not refuse comes back as
// NaN or infinite coefficients.
inline bool weighted_linear_fit(const double *design, const double *weights,
                                const double *obs, std::int32_t n,
                                std::size_t p,
                                gsl_multifit_linear_workspace *work,
                                double *coeffs, double *cov,
                                double *chisq) noexcept
{
    const std::size_t rows = static_cast<std::size_t>(n);
    gsl_matrix_const_view X = gsl_matrix_const_view_array(design, rows, p);
    gsl_vector_const_view w = gsl_vector_const_view_array(weights, rows);
    gsl_vector_const_view y = gsl_vector_const_view_array(obs, rows);
    gsl_vector_view c = gsl_vector_view_array(coeffs, p);
    gsl_matrix_view C = gsl_matrix_view_array(cov, p, p);
    fit_guard::Scope guard;
    const int status =
        gsl_multifit_wlinear(&X.matrix, &w.vector, &y.vector, &c.vector,
                             &C.matrix, chisq, work);
    return status == GSL_SUCCESS && !guard.failed();
}

// Bouchy optimal-weight velocity of flux against model.  err_sq(k) gives
// h^2 = err^2 + sys^2 for pixel k.  A pixel whose model slope is exactly
// zero carries no velocity information (its weight is 0) and is skipped;
// its term would be 0 * inf = NaN.
template <class ErrSq>
void bouchy_velocity(const double *wave, const double *flux,
                     const double *model, std::int32_t n, ErrSq err_sq,
                     double *rv, double *rv_err) noexcept
{
    double S = 0.0;
    double T = 0.0;
    for (std::int32_t k = 0; k + 1 < n; ++k) {
        // slope = dmodel/dlambda * lambda
        const double slope =
            (model[k + 1] - model[k]) / (wave[k + 1] - wave[k]) * wave[k];
        if (slope == 0.0) {
            continue;
        }
        const double w = (slope * slope) / err_sq(k);
        T = T + (flux[k] - model[k]) / slope * w;
        S = S + w;
    }
    *rv = T / S * C_LIGHT;
    // 1 / S^0.5, with pow's value at S = -inf
    const double s = (S == -Inf) ? Inf : std::fabs(std::sqrt(S));
    *rv_err = (1.0 / s) * C_LIGHT;
}

}  // namespace quasmir

#endif  // QUASMIR_NUMERICS_HPP

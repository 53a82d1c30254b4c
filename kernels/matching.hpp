// Nearest-point matching of the pixels against the Doppler-shifted master
// without shifting the whole master.
//
// The shifted point i is x - x*f (x = wave_master[i], f the Doppler
// factor), computed when it is read: bit for bit the value a whole-grid
// shift writes there.  Two matchers give the forward walk's result (from
// the previous match, forward while the computed distance strictly
// shrinks):
//
// - ForwardWalk (numerics.hpp) walks literally, on any grid;
// - ShiftSearch finds the same index by a search, on grids where the
//   computed distances are provably monotone (see below), and walks
//   literally wherever that proof does not reach.
//
// Why the search gives the walk's index.  Let u = 2^-53.  The master is
// checked once per call: finite, x[0] >= 2^-900, x[n-1] <= 2^900 and
// x[i+1] - x[i] >= x[i] * 2^-36 for every i (the subtraction is exact when
// x[i+1] <= 2 x[i], and far above the bound otherwise).  The trial's
// factor is checked per trial: -0.75 <= f <= 0.45.  Then f = 1 - s with s
// = sqrt(...) in [0.55, 1.75] exactly (Sterbenz), and the computed point is
// g = x s (1 - (f/s) e1)(1 + e2), |e1|, |e2| <= u, |f/s| <= 0.82, so
// g = x s (1 + d) with |d| < 2u (an underflowing x*f adds at most 2^-1075,
// negligible against x s >= 2^-901).  Hence g[i+1] / g[i] >=
// (1 + 2^-36)(1 - 4u) > 1 + 2^-37: the shifted grid ascends strictly.
//
// For a target t the computed distance is |g - t| = fl(t - g) below t and
// fl(g - t) at or above it (rounding is symmetric and monotone): it never
// grows while g < t and never shrinks once g >= t.  So the walk from s
// stops at the first point at or above t (or one later, if that one is
// strictly nearer), unless two distances below t come out equal first.
// They cannot for a pair t * 2^-12 <= g[k] < g[k+1] < t: the exact
// distances differ by g[k+1] - g[k] > 2^-37 g[k] >= 2^-49 t, each rounding
// moves a distance below t by at most 2^-53 t, so the computed distances
// still differ.  Pairs with g[k] < t * 2^-12 are walked literally.
#ifndef QUASMIR_MATCHING_HPP
#define QUASMIR_MATCHING_HPP

#include <cmath>
#include <cstdint>

#include "numerics.hpp"

namespace quasmir {

// The master grid shifted by the factor f, evaluated point by point.
class ShiftedGrid {
public:
    ShiftedGrid(const double *wave_master, std::int32_t n, double f) noexcept
        : x_(wave_master), n_(n), f_(f)
    {
    }

    double operator[](std::int32_t i) const noexcept
    {
        const double x = x_[i];
        return x - x * f_;
    }
    std::int32_t size() const noexcept { return n_; }

private:
    const double *x_;
    std::int32_t n_;
    double f_;
};

// The per-call condition on the master for ShiftSearch (see above).
inline bool master_allows_search(const double *x, std::int32_t n) noexcept
{
    if (n < 1 || !(x[0] >= 0x1p-900) || !(x[n - 1] <= 0x1p900)) {
        return false;
    }
    // No early exit: the loop stays a plain vectorisable reduction.
    bool ok = true;
    for (std::int32_t i = 0; i + 1 < n; ++i) {
        ok &= x[i + 1] - x[i] >= x[i] * 0x1p-36;
    }
    return ok;
}

// The per-trial condition on the Doppler factor for ShiftSearch.
inline bool factor_allows_search(double f) noexcept
{
    return f >= -0.75 && f <= 0.45;
}

// ForwardWalk's result on a ShiftedGrid that satisfies both conditions,
// by galloping search from the previous match.
class ShiftSearch {
public:
    explicit ShiftSearch(const ShiftedGrid &grid) noexcept : g_(grid) {}

    std::int32_t next(double t) noexcept
    {
        const std::int32_t n = g_.size();
        std::int32_t k = start_;
        const double gk = g_[k];
        double best = std::fabs(gk - t);
        // The first candidate not accepted (NaN, or 1e30 or more), at or
        // above the target, or the last point: the walk ends at once.
        if (!(1e30 > best) || !(gk < t) || k + 1 == n) {
            return k;
        }
        // Below t * 2^-12 equal distances can occur: walk.
        const double proven = t * 0x1p-12;
        while (k + 1 < n && g_[k + 1] < proven) {
            const double d = std::fabs(g_[k + 1] - t);
            if (!(best > d)) {
                return start_ = k;
            }
            best = d;
            ++k;
        }
        if (k + 1 == n) {
            return start_ = k;
        }
        // The pair (k, k + 1) as the walk takes it.
        const double g1 = g_[k + 1];
        const double d1 = std::fabs(g1 - t);
        if (!(best > d1)) {
            return start_ = k;
        }
        if (!(g1 < t)) {
            return start_ = k + 1;
        }
        // From k + 1 to the last point below t every distance is strictly
        // smaller than the one before; then one more step at most.
        const std::int32_t j = last_below(k + 1, t);
        if (j + 1 == n) {
            return start_ = j;
        }
        const bool nearer = std::fabs(g_[j] - t) > std::fabs(g_[j + 1] - t);
        return start_ = nearer ? j + 1 : j;
    }

private:
    // The last index at or after lo (g[lo] < t) whose point is below t.
    std::int32_t last_below(std::int32_t lo, double t) const noexcept
    {
        const std::int64_t n = g_.size();
        std::int64_t below = lo;
        std::int64_t above = n;  // first index known at or above t
        for (std::int64_t step = 1;; step *= 2) {
            const std::int64_t probe = below + step;
            if (probe >= n) {
                break;
            }
            if (g_[static_cast<std::int32_t>(probe)] < t) {
                below = probe;
            } else {
                above = probe;
                break;
            }
        }
        while (above - below > 1) {
            const std::int64_t mid = below + (above - below) / 2;
            if (g_[static_cast<std::int32_t>(mid)] < t) {
                below = mid;
            } else {
                above = mid;
            }
        }
        return static_cast<std::int32_t>(below);
    }

    const ShiftedGrid &g_;
    std::int32_t start_ = 0;
};

}  // namespace quasmir

#endif  // QUASMIR_MATCHING_HPP

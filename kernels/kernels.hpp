// The velocity kernels as the module front calls them: the exported C
// functions are thin wrappers over these, which also say why they could
// not compute (bad counts, or no memory) so that Python can raise.
#ifndef QUASMIR_KERNELS_HPP
#define QUASMIR_KERNELS_HPP

#include <cstddef>
#include <cstdint>

namespace quasmir {

enum class Status { ok, bad_counts, no_memory };

// Where the scan puts the two coefficients of trial t: the caller's row
// pointers, or one (n_trials, 2) row-major block.
struct CoeffRows {
    double **rows = nullptr;
    double *block = nullptr;

    double *row(std::int32_t t) const noexcept
    {
        return rows != nullptr ? rows[t]
                               : block + 2 * static_cast<std::ptrdiff_t>(t);
    }
};

// Needs n_pix >= 2 and n_master >= 1; otherwise, or without memory, every
// trial's results are NaN.
Status rv_scan(const double *rv_trials, double *rv_out, double *rv_err_out,
               double *chi2_red_out, std::int32_t n_trials, const double *wave,
               double sys_err, const double *flux_err, const double *flux,
               std::int32_t n_pix, const double *wave_master,
               const double *flux_master, std::int32_t n_master,
               CoeffRows coeffs_out) noexcept;

enum class Taylor { first_order, with_offset, second_order };

// Number of fitted coefficients.
constexpr std::int32_t taylor_params(Taylor kind) noexcept
{
    return kind == Taylor::first_order ? 2 : 3;
}

struct TaylorInput {
    const double *wave;
    const double *flux_err;
    const double *flux;
    std::int32_t n_pix;
    const double *wave_master;
    const double *flux_master;
    std::int32_t n_master;
    double lambda_ref;
    double sys_err;
    double rv_shift;
};

// The shifted grid, the derivative tables on it (n_master each) and the
// design columns interpolated to the pixels (n_pix each).  The second
// derivative entries are used by the second-order fit only.
struct TaylorTables {
    double *shifted;
    double *d1;
    double *d2;
    double *flux_interp;
    double *d1_interp;
    double *d2_interp;
};

struct TaylorResult {
    double coeffs[3];  // scale, first derivative, offset or second derivative
    double rv_fitted;  // -(c1/c0) / lambda_ref * c, the velocity beyond rv_shift
    double rv;
    double rv_err;
    double chi2_red;
};

// What the kernel prints to standard output itself: everything (the edge
// warnings of the first-order fit and the second-order fit's line), or
// nothing, for callers that print rv_fitted themselves or not at all.
enum class Print { all, none };

class TaylorScratch;  // taylor_scratch.hpp

// Scratch doubles a Taylor fit of n_pix pixels needs: match offsets,
// weights and the design rows.  (The kernel's own tables are never stored:
// it computes each entry where it reads it.)
constexpr std::size_t taylor_scratch_doubles(Taylor kind,
                                             std::size_t n_pix) noexcept
{
    return (2 + static_cast<std::size_t>(taylor_params(kind))) * n_pix;
}

// One Taylor fit.  tables == nullptr: the kernel owns them (first order,
// with offset).  reuse: storage kept across fits, else the kernel's own
// for this call.  Needs n_pix >= taylor_params(kind) and n_master >= 2;
// otherwise, or without memory, every result is NaN and nothing is printed.
Status taylor_fit(Taylor kind, const TaylorInput &in,
                  const TaylorTables *tables, TaylorResult *out,
                  Print print = Print::all,
                  TaylorScratch *reuse = nullptr) noexcept;

}  // namespace quasmir

#endif  // QUASMIR_KERNELS_HPP

// Storage of the Taylor fit kept across fits: a caller that fits many line
// windows in a row reserves it once for the largest window and hands it to
// every taylor_fit, and each thread keeps one for its line-sized fits.
// The fit workspace serves every fit of at most `rows` rows with the same
// number of parameters; GSL works on the leading n x p block of it, so a
// fit gives the same bits as with a workspace of its own size.
#ifndef QUASMIR_TAYLOR_SCRATCH_HPP
#define QUASMIR_TAYLOR_SCRATCH_HPP

#include <cstddef>
#include <cstdint>
#include <memory>

#include "numerics.hpp"

namespace quasmir {

class TaylorScratch {
public:
    // Room for a fit of `rows` rows and `params` (2 or 3) parameters with
    // `doubles` doubles and `rows` indices of scratch; false when memory is
    // short.  One workspace is kept for each number of parameters.
    bool reserve(std::size_t rows, std::size_t params,
                 std::size_t doubles) noexcept
    {
        if (doubles > n_doubles_ || !doubles_) {
            doubles_ = scratch<double>(doubles);
            n_doubles_ = doubles_ ? doubles : 0;
        }
        if (rows > n_indices_ || !indices_) {
            indices_ = scratch<std::int32_t>(rows);
            n_indices_ = indices_ ? rows : 0;
        }
        if (!doubles_ || !indices_) {
            return false;
        }
        Fit &fit = fits_[params == 2 ? 0 : 1];
        if (!fit.work || rows > fit.rows || params != fit.params) {
            fit.work.reset();
            fit.work = fit_workspace(static_cast<std::int32_t>(rows), params);
            fit.rows = fit.work ? rows : 0;
            fit.params = params;
        }
        current_ = fit.work.get();
        return current_ != nullptr;
    }

    double *doubles() const noexcept { return doubles_.get(); }
    std::int32_t *indices() const noexcept { return indices_.get(); }
    // The workspace of the last reserve.
    gsl_multifit_linear_workspace *workspace() const noexcept
    {
        return current_;
    }

private:
    struct Fit {
        FitWorkspace work;
        std::size_t rows = 0;
        std::size_t params = 0;
    };
    std::unique_ptr<double[]> doubles_;
    std::unique_ptr<std::int32_t[]> indices_;
    std::size_t n_doubles_ = 0;
    std::size_t n_indices_ = 0;
    Fit fits_[2];
    gsl_multifit_linear_workspace *current_ = nullptr;
};

// Bytes a TaylorScratch holds after reserve(rows, params, doubles).
constexpr std::size_t taylor_scratch_bytes(std::size_t rows,
                                           std::size_t params,
                                           std::size_t doubles) noexcept
{
    return doubles * sizeof(double) + rows * sizeof(std::int32_t) +
           (rows * params + rows + 2 * params * params + 3 * params) *
               sizeof(double);
}

}  // namespace quasmir

#endif  // QUASMIR_TAYLOR_SCRATCH_HPP

// Storage of the Taylor fit kept across fits: a caller that fits many line
// windows in a row reserves it once for the largest window and hands it to
// every taylor_fit.  The fit workspace serves every fit of at most `rows`
// rows with the same number of parameters; GSL works on the leading
// n x p block of it, so a fit gives the same bits as with a workspace of
// its own size.
#ifndef QUASMIR_TAYLOR_SCRATCH_HPP
#define QUASMIR_TAYLOR_SCRATCH_HPP

#include <cstddef>
#include <cstdint>
#include <memory>

#include "numerics.hpp"

namespace quasmir {

class TaylorScratch {
public:
    // Room for a fit of `rows` rows and `params` parameters with `doubles`
    // doubles and `rows` indices of scratch; false when memory is short.
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
        if (!work_ || rows > work_rows_ || params != work_params_) {
            work_.reset();
            work_ = fit_workspace(static_cast<std::int32_t>(rows), params);
            work_rows_ = work_ ? rows : 0;
            work_params_ = params;
        }
        return static_cast<bool>(work_);
    }

    double *doubles() const noexcept { return doubles_.get(); }
    std::int32_t *indices() const noexcept { return indices_.get(); }
    gsl_multifit_linear_workspace *workspace() const noexcept
    {
        return work_.get();
    }

private:
    std::unique_ptr<double[]> doubles_;
    std::unique_ptr<std::int32_t[]> indices_;
    FitWorkspace work_;
    std::size_t n_doubles_ = 0;
    std::size_t n_indices_ = 0;
    std::size_t work_rows_ = 0;
    std::size_t work_params_ = 0;
};

}  // namespace quasmir

#endif  // QUASMIR_TAYLOR_SCRATCH_HPP

// quasmir_tool._batch: every line window of a spectrum fitted by one Taylor
// estimator in one call, without a Python call per line.
//
// Window i gives, bit for bit, what the quasmir method gives for the
// slices [pix_start[i], pix_stop[i]) of the spectrum and
// [master_start[i], master_stop[i]) of the master with rv_shift[i] and
// lambda_ref[i]: the same kernel runs on the same values.  All arguments
// are validated in one block first; the fits then run without the
// interpreter lock, on one set of scratch storage and one fit workspace
// for the whole call.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <numpy/arrayobject.h>

#include <array>
#include <cstdint>
#include <initializer_list>

#include "kernels.hpp"
#include "numerics.hpp"
#include "pyarrays.hpp"
#include "taylor_scratch.hpp"

namespace {

using quasmir::Status;
using quasmir::Taylor;

using quasmir::front::array_data;
using quasmir::front::ArrayArg;
using quasmir::front::check_same_length;
using quasmir::front::Ref;

constexpr char method[] = "fit_windows";

// Type, element kind, dimensions and size of one array argument as passed.
bool check_array(ArrayArg &arg)
{
    if (!PyArray_Check(arg.obj)) {
        PyErr_Format(PyExc_TypeError,
                     "fit_windows: %s must be a numpy.ndarray, not %s",
                     arg.name, Py_TYPE(arg.obj)->tp_name);
        return false;
    }
    return quasmir::front::check_array(arg, "values");
}

// Every start and stop of one kind of window within [0, n], start <= stop.
// The bounds are read from the converted int64 arrays.
bool check_bounds(const ArrayArg &start, const ArrayArg &stop, npy_intp n,
                  const char *what)
{
    const std::int64_t *lo = start.data<std::int64_t>();
    const std::int64_t *hi = stop.data<std::int64_t>();
    for (npy_intp i = 0; i < start.length; ++i) {
        const ArrayArg *bad = nullptr;
        std::int64_t value = 0;
        if (lo[i] < 0 || lo[i] > n) {
            bad = &start;
            value = lo[i];
        } else if (hi[i] < 0 || hi[i] > n) {
            bad = &stop;
            value = hi[i];
        }
        if (bad != nullptr) {
            PyErr_Format(PyExc_ValueError,
                         "fit_windows: %s[%zd] = %lld is outside the %zd %s",
                         bad->name, static_cast<Py_ssize_t>(i),
                         static_cast<long long>(value),
                         static_cast<Py_ssize_t>(n), what);
            return false;
        }
        if (lo[i] > hi[i]) {
            PyErr_Format(PyExc_ValueError,
                         "fit_windows: %s[%zd] = %lld is after %s[%zd] = %lld",
                         start.name, static_cast<Py_ssize_t>(i),
                         static_cast<long long>(lo[i]), stop.name,
                         static_cast<Py_ssize_t>(i),
                         static_cast<long long>(hi[i]));
            return false;
        }
    }
    return true;
}


// The arguments of one call, validated and converted.
struct Windows {
    Taylor kind;
    ArrayArg wave{method, "wave"};
    ArrayArg flux_err{method, "flux_err"};
    ArrayArg flux{method, "flux"};
    ArrayArg wave_master{method, "wave_master"};
    ArrayArg flux_master{method, "flux_master"};
    ArrayArg pix_start{method, "pix_start", true};
    ArrayArg pix_stop{method, "pix_stop", true};
    ArrayArg master_start{method, "master_start", true};
    ArrayArg master_stop{method, "master_stop", true};
    ArrayArg rv_shift{method, "rv_shift"};
    ArrayArg lambda_ref{method, "lambda_ref"};
    double sys_err = 0.0;

    bool parse(PyObject *args, PyObject *kwargs)
    {
        static const char *keywords[] = {
            "kind",         "wave",        "flux_err",   "flux",
            "wave_master",  "flux_master", "pix_start",  "pix_stop",
            "master_start", "master_stop", "sys_err",    "rv_shift",
            "lambda_ref",   nullptr};
        PyObject *kind_obj = nullptr;
        PyObject *sys_err_obj = nullptr;
        if (!PyArg_ParseTupleAndKeywords(
                args, kwargs, "OOOOOOOOOOOOO:fit_windows",
                const_cast<char **>(keywords), &kind_obj, &wave.obj,
                &flux_err.obj, &flux.obj, &wave_master.obj, &flux_master.obj,
                &pix_start.obj, &pix_stop.obj, &master_start.obj,
                &master_stop.obj, &sys_err_obj, &rv_shift.obj,
                &lambda_ref.obj)) {
            return false;
        }
        Ref kind_index(PyFloat_Check(kind_obj) ? nullptr
                                               : PyNumber_Index(kind_obj));
        if (!kind_index) {
            PyErr_Format(PyExc_TypeError,
                         "fit_windows: kind must be an integer, not %s",
                         Py_TYPE(kind_obj)->tp_name);
            return false;
        }
        int overflow = 0;
        const long kind_code =
            PyLong_AsLongAndOverflow(kind_index.get(), &overflow);
        if (overflow != 0 || kind_code < 0 || kind_code > 2) {
            PyErr_Format(PyExc_ValueError,
                         "fit_windows: kind must be 0 (first order), 1 (with "
                         "offset) or 2 (second order), not %S",
                         kind_index.get());
            return false;
        }
        if (!PyNumber_Check(sys_err_obj) || PyComplex_Check(sys_err_obj) ||
            (PyArray_Check(sys_err_obj) &&
             PyArray_NDIM(reinterpret_cast<PyArrayObject *>(sys_err_obj)) !=
                 0)) {
            PyErr_Format(PyExc_TypeError,
                         "fit_windows: sys_err must be a real number, not %s",
                         Py_TYPE(sys_err_obj)->tp_name);
            return false;
        }
        sys_err = PyFloat_AsDouble(sys_err_obj);
        if (sys_err == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError,
                         "fit_windows: sys_err must be a real number, not %s",
                         Py_TYPE(sys_err_obj)->tp_name);
            return false;
        }
        kind = kind_code == 0   ? Taylor::first_order
               : kind_code == 1 ? Taylor::with_offset
                                : Taylor::second_order;
        for (ArrayArg *arg : all()) {
            if (!check_array(*arg)) {
                return false;
            }
        }
        // The lengths as passed, so that nothing is copied before they
        // agree, then again as read.
        if (!same_lengths() || !quasmir::front::convert_all(all()) ||
            !same_lengths()) {
            return false;
        }
        return check_bounds(pix_start, pix_stop, wave.length, "pixels") &&
               check_bounds(master_start, master_stop, wave_master.length,
                            "master points");
    }

    bool same_lengths() const
    {
        return check_same_length(wave, {&flux_err, &flux}) &&
               check_same_length(wave_master, {&flux_master}) &&
               check_same_length(pix_start, {&pix_stop, &master_start,
                                             &master_stop, &rv_shift,
                                             &lambda_ref});
    }

    std::array<ArrayArg *, 11> all()
    {
        return {&wave,      &flux_err,     &flux,        &wave_master,
                &flux_master, &pix_start,  &pix_stop,    &master_start,
                &master_stop, &rv_shift,   &lambda_ref};
    }
};

// The six result vectors of n_windows each.
struct Results {
    double *scale;
    double *deriv1;
    double *third;
    double *rv;
    double *rv_err;
    double *chi2_red;
};

// Runs every window; no Python object is touched.
Status fit_all(const Windows &w, const Results &res) noexcept
{
    const std::int64_t *ps = w.pix_start.data<std::int64_t>();
    const std::int64_t *pe = w.pix_stop.data<std::int64_t>();
    const std::int64_t *ms = w.master_start.data<std::int64_t>();
    const std::int64_t *me = w.master_stop.data<std::int64_t>();
    const double *rv_shift = w.rv_shift.data<double>();
    const double *lambda_ref = w.lambda_ref.data<double>();
    const npy_intp n_windows = w.pix_start.length;
    const Taylor kind = w.kind;
    const bool second = kind == Taylor::second_order;
    const std::int32_t p = quasmir::taylor_params(kind);

    // The largest window that is fitted sets the size of the storage.
    std::size_t most_pix = 0;
    std::size_t most_master = 0;
    for (npy_intp i = 0; i < n_windows; ++i) {
        const std::int64_t n = pe[i] - ps[i];
        const std::int64_t m = me[i] - ms[i];
        if (n >= p && m >= 2) {
            most_pix = n > static_cast<std::int64_t>(most_pix)
                           ? static_cast<std::size_t>(n)
                           : most_pix;
            most_master = m > static_cast<std::int64_t>(most_master)
                              ? static_cast<std::size_t>(m)
                              : most_master;
        }
    }
    quasmir::TaylorScratch scratch;
    // The second-order fit writes its tables into the caller's storage.
    auto tables_storage =
        quasmir::scratch<double>(second ? 3 * most_master + 3 * most_pix : 0);
    if (most_pix > 0 &&
        (!tables_storage ||
         !scratch.reserve(most_pix, static_cast<std::size_t>(p),
                          quasmir::taylor_scratch_doubles(kind, most_pix)))) {
        return Status::no_memory;
    }
    quasmir::TaylorTables tables{};
    if (second) {
        tables.shifted = tables_storage.get();
        tables.d1 = tables.shifted + most_master;
        tables.d2 = tables.d1 + most_master;
        tables.flux_interp = tables.d2 + most_master;
        tables.d1_interp = tables.flux_interp + most_pix;
        tables.d2_interp = tables.d1_interp + most_pix;
    }

    for (npy_intp i = 0; i < n_windows; ++i) {
        const std::int32_t n_pix = static_cast<std::int32_t>(pe[i] - ps[i]);
        const std::int32_t n_master = static_cast<std::int32_t>(me[i] - ms[i]);
        const quasmir::TaylorInput in{w.wave.data<double>() + ps[i],
                                      w.flux_err.data<double>() + ps[i],
                                      w.flux.data<double>() + ps[i],
                                      n_pix,
                                      w.wave_master.data<double>() + ms[i],
                                      w.flux_master.data<double>() + ms[i],
                                      n_master,
                                      lambda_ref[i],
                                      w.sys_err,
                                      rv_shift[i]};
        if (second && n_pix >= p && n_master >= 2) {
            // The derivative entries without a pair read as 0.0, as in the
            // zero-filled arrays the method hands its kernel.
            tables.d1[n_master - 1] = 0.0;
            tables.d2[n_master - 2] = 0.0;
            tables.d2[n_master - 1] = 0.0;
        }
        quasmir::TaylorResult r;
        const Status status =
            quasmir::taylor_fit(kind, in, second ? &tables : nullptr, &r,
                                quasmir::Print::none, &scratch);
        if (status == Status::no_memory) {
            return status;
        }
        const bool fitted = status == Status::ok;
        res.scale[i] = r.coeffs[0];
        res.deriv1[i] = r.coeffs[1];
        res.third[i] = !fitted || kind != Taylor::first_order ? r.coeffs[2]
                                                              : 0.0;
        res.rv[i] = r.rv;
        res.rv_err[i] = r.rv_err;
        res.chi2_red[i] = r.chi2_red;
    }
    return Status::ok;
}

PyObject *fit_windows(PyObject *, PyObject *args, PyObject *kwargs)
{
    Windows w;
    if (!w.parse(args, kwargs)) {
        return nullptr;
    }
    npy_intp n_windows = w.pix_start.length;
    Ref out[6];
    for (Ref &r : out) {
        r.reset(PyArray_SimpleNew(1, &n_windows, NPY_DOUBLE));
        if (!r) {
            return nullptr;
        }
    }
    const Results res{array_data(out[0]), array_data(out[1]),
                      array_data(out[2]), array_data(out[3]),
                      array_data(out[4]), array_data(out[5])};
    Status status;
    Py_BEGIN_ALLOW_THREADS
    status = fit_all(w, res);
    Py_END_ALLOW_THREADS
    if (status == Status::no_memory) {
        return PyErr_NoMemory();
    }
    return PyTuple_Pack(6, out[0].get(), out[1].get(), out[2].get(),
                        out[3].get(), out[4].get(), out[5].get());
}

PyMethodDef batch_methods[] = {
    {"fit_windows", reinterpret_cast<PyCFunction>(fit_windows),
     METH_VARARGS | METH_KEYWORDS,
     "fit_windows($module, kind, wave, flux_err, flux, wave_master, "
     "flux_master, pix_start, pix_stop, master_start, master_stop, sys_err, "
     "rv_shift, lambda_ref)\n--\n\n"
     "Fit every line window of a spectrum with one Taylor estimator.\n\n"
     "kind: 0 get_RV_line_by_line2, 1 get_RV_line_by_line2_with_offset,\n"
     "2 get_RV_line_by_line3.  Window i is pixels pix_start[i]:pix_stop[i]\n"
     "against master points master_start[i]:master_stop[i], shifted by\n"
     "rv_shift[i] (m/s), velocity scale lambda_ref[i].  Returns six float64\n"
     "arrays (scale, deriv1, third, rv, rv_err, chi2_red), window i holding\n"
     "exactly what the method gives for those slices; third is the offset\n"
     "(kind 1), the second-derivative coefficient (kind 2) or 0.0 (kind 0).\n"
     "A window with too few pixels or master points gives NaN in all six.\n"
     "Prints nothing; runs without the interpreter lock."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef batch_module = {PyModuleDef_HEAD_INIT,
                            "_batch",
                            "Whole-spectrum line-by-line fits in one call.",
                            -1,
                            batch_methods,
                            nullptr,
                            nullptr,
                            nullptr,
                            nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__batch(void)
{
    if (_import_array() < 0) {
        return nullptr;
    }
    return PyModule_Create(&batch_module);
}

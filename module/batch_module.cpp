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
#include "taylor_scratch.hpp"

namespace {

using quasmir::Status;
using quasmir::Taylor;

// Owns one reference.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject *obj) : obj_(obj) {}
    ~Ref() { Py_XDECREF(obj_); }
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;

    void reset(PyObject *obj)
    {
        Py_XDECREF(obj_);
        obj_ = obj;
    }
    PyObject *get() const { return obj_; }
    explicit operator bool() const { return obj_ != nullptr; }

private:
    PyObject *obj_ = nullptr;
};

// One array argument: the object as passed, then the contiguous float64
// (values) or int64 (bounds) array read.
struct ArrayArg {
    const char *name;
    bool bounds;
    PyObject *obj = nullptr;
    npy_intp length = 0;
    Ref array;

    ArrayArg(const char *arg_name, bool is_bounds)
        : name(arg_name), bounds(is_bounds)
    {
    }

    template <class T>
    const T *data() const
    {
        return static_cast<const T *>(
            PyArray_DATA(reinterpret_cast<PyArrayObject *>(array.get())));
    }
};

int is_masked_array(PyObject *obj)
{
    if (PyArray_CheckExact(obj)) {
        return 0;
    }
    Ref ma(PyImport_ImportModule("numpy.ma"));
    Ref masked_type(ma ? PyObject_GetAttrString(ma.get(), "MaskedArray")
                       : nullptr);
    return masked_type ? PyObject_IsInstance(obj, masked_type.get()) : -1;
}

// Type, element kind, dimensions and size of one array argument.
bool check_array(ArrayArg &arg)
{
    if (!PyArray_Check(arg.obj)) {
        PyErr_Format(PyExc_TypeError,
                     "fit_windows: %s must be a numpy.ndarray, not %s",
                     arg.name, Py_TYPE(arg.obj)->tp_name);
        return false;
    }
    const int masked = is_masked_array(arg.obj);
    if (masked != 0) {
        if (masked > 0) {
            PyErr_Format(PyExc_TypeError,
                         "fit_windows: %s is a masked array: pass the values "
                         "to use (numpy.ma.compressed) or filled values",
                         arg.name);
        }
        return false;
    }
    PyArrayObject *arr = reinterpret_cast<PyArrayObject *>(arg.obj);
    PyArray_Descr *dtype = PyArray_DESCR(arr);
    const char kind = dtype->kind;
    const bool integer = kind == 'i' || kind == 'u';
    if (arg.bounds && !integer) {
        PyErr_Format(PyExc_TypeError,
                     "fit_windows: %s must hold integers, not %S", arg.name,
                     reinterpret_cast<PyObject *>(dtype));
        return false;
    }
    if (!integer && kind != 'f') {
        PyErr_Format(PyExc_TypeError,
                     "fit_windows: %s must hold real numbers, not %S",
                     arg.name, reinterpret_cast<PyObject *>(dtype));
        return false;
    }
    if (PyArray_NDIM(arr) != 1) {
        PyErr_Format(PyExc_ValueError,
                     "fit_windows: %s must be one-dimensional, not "
                     "%d-dimensional",
                     arg.name, PyArray_NDIM(arr));
        return false;
    }
    arg.length = PyArray_DIM(arr, 0);
    if (arg.length > INT32_MAX) {
        PyErr_Format(PyExc_ValueError,
                     "fit_windows: %s has %zd elements, more than the %d a "
                     "count can hold",
                     arg.name, static_cast<Py_ssize_t>(arg.length), INT32_MAX);
        return false;
    }
    return true;
}

bool check_same_length(const ArrayArg &first,
                       std::initializer_list<const ArrayArg *> others)
{
    for (const ArrayArg *arg : others) {
        if (arg->length != first.length) {
            PyErr_Format(PyExc_ValueError,
                         "fit_windows: %s has length %zd but %s has length "
                         "%zd",
                         arg->name, static_cast<Py_ssize_t>(arg->length),
                         first.name, static_cast<Py_ssize_t>(first.length));
            return false;
        }
    }
    return true;
}

// Contiguous, aligned, native float64 or int64: the array itself, else a
// converted copy.
bool convert(ArrayArg &arg)
{
    const int type = arg.bounds ? NPY_INT64 : NPY_DOUBLE;
    PyArrayObject *arr = reinterpret_cast<PyArrayObject *>(arg.obj);
    if (PyArray_TYPE(arr) == type && PyArray_ISCARRAY_RO(arr) &&
        PyArray_ISNOTSWAPPED(arr)) {
        Py_INCREF(arg.obj);
        arg.array.reset(arg.obj);
        return true;
    }
    arg.array.reset(PyArray_FromAny(arg.obj, PyArray_DescrFromType(type), 1,
                                    1, NPY_ARRAY_IN_ARRAY | NPY_ARRAY_FORCECAST,
                                    nullptr));
    return static_cast<bool>(arg.array);
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

double *vector_data(const Ref &array)
{
    return static_cast<double *>(
        PyArray_DATA(reinterpret_cast<PyArrayObject *>(array.get())));
}

// The arguments of one call, validated and converted.
struct Windows {
    Taylor kind;
    ArrayArg wave{"wave", false};
    ArrayArg flux_err{"flux_err", false};
    ArrayArg flux{"flux", false};
    ArrayArg wave_master{"wave_master", false};
    ArrayArg flux_master{"flux_master", false};
    ArrayArg pix_start{"pix_start", true};
    ArrayArg pix_stop{"pix_stop", true};
    ArrayArg master_start{"master_start", true};
    ArrayArg master_stop{"master_stop", true};
    ArrayArg rv_shift{"rv_shift", false};
    ArrayArg lambda_ref{"lambda_ref", false};
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
        if (!check_same_length(wave, {&flux_err, &flux}) ||
            !check_same_length(wave_master, {&flux_master}) ||
            !check_same_length(pix_start, {&pix_stop, &master_start,
                                           &master_stop, &rv_shift,
                                           &lambda_ref})) {
            return false;
        }
        for (ArrayArg *arg : all()) {
            if (!convert(*arg)) {
                return false;
            }
        }
        return check_bounds(pix_start, pix_stop, wave.length, "pixels") &&
               check_bounds(master_start, master_stop, wave_master.length,
                            "master points");
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
                          quasmir::taylor_scratch_doubles(
                              kind, most_pix, most_master, !second)))) {
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
    const Results res{vector_data(out[0]), vector_data(out[1]),
                      vector_data(out[2]), vector_data(out[3]),
                      vector_data(out[4]), vector_data(out[5])};
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

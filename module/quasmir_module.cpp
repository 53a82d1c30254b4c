// The Python front of quasmir: argument parsing and validation, the calls
// into the kernels, and the result tuples.
//
// Every method validates all its arguments in one block before any work.
// Arrays must be numpy ndarrays of real numbers and one-dimensional; other
// real dtypes, and arrays that are not contiguous, aligned native float64,
// are converted (no copy when they already are).
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <numpy/arrayobject.h>

#include <cstdint>
#include <initializer_list>

#include "kernels.hpp"

namespace {

using quasmir::Status;

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

// One array argument: the object as passed (borrowed from the argument
// tuple) and, once converted, the contiguous float64 array read.
struct ArrayArg {
    const char *name;
    PyObject *obj = nullptr;
    npy_intp length = 0;
    Ref array;

    explicit ArrayArg(const char *arg_name) : name(arg_name) {}

    const double *data() const
    {
        return static_cast<const double *>(
            PyArray_DATA(reinterpret_cast<PyArrayObject *>(array.get())));
    }
    std::int32_t count() const { return static_cast<std::int32_t>(length); }
};

// 1 when obj is a numpy masked array, 0 when not, -1 on error.  Only
// ndarray subclasses are looked at, so plain arrays cost nothing.
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

// Element type, dimensions and size of one array argument.
bool check_array(ArrayArg &arg)
{
    PyArrayObject *arr = reinterpret_cast<PyArrayObject *>(arg.obj);
    // Reading a masked array's data would count the pixels it masks.
    const int masked = is_masked_array(arg.obj);
    if (masked != 0) {
        if (masked > 0) {
            PyErr_Format(PyExc_TypeError,
                         "%s is a masked array: pass the pixels to use "
                         "(numpy.ma.compressed) or filled values",
                         arg.name);
        }
        return false;
    }
    PyArray_Descr *dtype = PyArray_DESCR(arr);
    const char kind = dtype->kind;
    if (kind != 'f' && kind != 'i' && kind != 'u') {
        PyErr_Format(PyExc_TypeError, "%s must hold real numbers, not %S",
                     arg.name, reinterpret_cast<PyObject *>(dtype));
        return false;
    }
    if (PyArray_NDIM(arr) != 1) {
        PyErr_Format(PyExc_ValueError,
                     "%s must be one-dimensional, not %d-dimensional",
                     arg.name, PyArray_NDIM(arr));
        return false;
    }
    arg.length = PyArray_DIM(arr, 0);
    if (arg.length > INT32_MAX) {
        PyErr_Format(PyExc_ValueError,
                     "%s has %zd elements, more than the %d a count can hold",
                     arg.name, static_cast<Py_ssize_t>(arg.length), INT32_MAX);
        return false;
    }
    return true;
}

// Arrays read together must have the length of the first of them.
bool check_same_length(const ArrayArg &first,
                       std::initializer_list<const ArrayArg *> others)
{
    for (const ArrayArg *arg : others) {
        if (arg->length != first.length) {
            PyErr_Format(PyExc_ValueError,
                         "%s has length %zd but %s has length %zd", arg->name,
                         static_cast<Py_ssize_t>(arg->length), first.name,
                         static_cast<Py_ssize_t>(first.length));
            return false;
        }
    }
    return true;
}

bool check_min_length(const ArrayArg &arg, npy_intp minimum, const char *what)
{
    if (arg.length < minimum) {
        PyErr_Format(PyExc_ValueError, "%s must hold at least %zd %s, got %zd",
                     arg.name, static_cast<Py_ssize_t>(minimum), what,
                     static_cast<Py_ssize_t>(arg.length));
        return false;
    }
    return true;
}

// Contiguous, aligned, native float64: the array itself, else a copy.
bool convert(ArrayArg &arg)
{
    PyArrayObject *arr = reinterpret_cast<PyArrayObject *>(arg.obj);
    if (PyArray_TYPE(arr) == NPY_DOUBLE && PyArray_ISCARRAY_RO(arr) &&
        PyArray_ISNOTSWAPPED(arr)) {
        Py_INCREF(arg.obj);
        arg.array.reset(arg.obj);
        return true;
    }
    arg.array.reset(
        PyArray_FromAny(arg.obj, PyArray_DescrFromType(NPY_DOUBLE), 1, 1,
                        NPY_ARRAY_IN_ARRAY | NPY_ARRAY_FORCECAST, nullptr));
    return static_cast<bool>(arg.array);
}

// The spectrum (wave, flux_err, flux) and master (wave_master, flux_master)
// arrays: types, equal lengths within each, and the fewest points a fit can
// be made from.
bool check_spectrum_and_master(ArrayArg *spec, ArrayArg *master,
                               npy_intp min_pixels, npy_intp min_master)
{
    for (ArrayArg *arg :
         {&spec[0], &spec[1], &spec[2], &master[0], &master[1]}) {
        if (!check_array(*arg)) {
            return false;
        }
    }
    return check_same_length(spec[0], {&spec[1], &spec[2]}) &&
           check_same_length(master[0], {&master[1]}) &&
           check_min_length(spec[0], min_pixels, "pixels") &&
           check_min_length(master[0], min_master, "points");
}

bool convert_all(std::initializer_list<ArrayArg *> args)
{
    for (ArrayArg *arg : args) {
        if (!convert(*arg)) {
            return false;
        }
    }
    return true;
}

double *array_data(const Ref &array)
{
    return static_cast<double *>(
        PyArray_DATA(reinterpret_cast<PyArrayObject *>(array.get())));
}

PyObject *new_vector(npy_intp n)
{
    return PyArray_SimpleNew(1, &n, NPY_DOUBLE);
}

PyObject *get_RV_line_by_line(PyObject *, PyObject *args)
{
    ArrayArg trials("rv_trials");
    ArrayArg spec[3] = {ArrayArg("wave"), ArrayArg("flux_err"),
                        ArrayArg("flux")};
    ArrayArg master[2] = {ArrayArg("wave_master"), ArrayArg("flux_master")};
    double sys_err = 0.0;
    if (!PyArg_ParseTuple(args, "O!O!O!O!O!O!|d", &PyArray_Type, &trials.obj,
                          &PyArray_Type, &spec[0].obj, &PyArray_Type,
                          &spec[1].obj, &PyArray_Type, &spec[2].obj,
                          &PyArray_Type, &master[0].obj, &PyArray_Type,
                          &master[1].obj, &sys_err)) {
        return nullptr;
    }
    // Two fit parameters need two pixels; matching needs one master point.
    if (!check_array(trials) ||
        !check_spectrum_and_master(spec, master, 2, 1) ||
        !convert_all(
            {&trials, &spec[0], &spec[1], &spec[2], &master[0], &master[1]})) {
        return nullptr;
    }

    const npy_intp n_trials = trials.length;
    npy_intp pair_dims[2] = {n_trials, 2};
    Ref rv(new_vector(n_trials));
    Ref rv_err(new_vector(n_trials));
    Ref chi2_red(new_vector(n_trials));
    Ref coeffs(PyArray_SimpleNew(2, pair_dims, NPY_DOUBLE));
    if (!rv || !rv_err || !chi2_red || !coeffs) {
        return nullptr;
    }
    quasmir::CoeffRows rows;
    rows.block = array_data(coeffs);
    const Status status = quasmir::rv_scan(
        trials.data(), array_data(rv), array_data(rv_err),
        array_data(chi2_red), trials.count(), spec[0].data(), sys_err,
        spec[1].data(), spec[2].data(), spec[0].count(), master[0].data(),
        master[1].data(), master[0].count(), rows);
    if (status == Status::no_memory) {
        return PyErr_NoMemory();
    }
    return Py_BuildValue("OOOO", rv.get(), rv_err.get(), chi2_red.get(),
                         coeffs.get());
}

// Parses and validates the arguments every Taylor method takes, runs the
// fit and leaves its results in *result.  tables: the caller's tables, or
// null for the kernel's own.
struct TaylorCall {
    ArrayArg spec[3] = {ArrayArg("wave"), ArrayArg("flux_err"),
                        ArrayArg("flux")};
    ArrayArg master[2] = {ArrayArg("wave_master"), ArrayArg("flux_master")};
    double sys_err = 0.0;
    double rv_shift = 0.0;
    double lambda_ref = 100000.0;

    bool parse(PyObject *args, quasmir::Taylor kind)
    {
        return PyArg_ParseTuple(args, "O!O!O!O!O!|ddd", &PyArray_Type,
                                &spec[0].obj, &PyArray_Type, &spec[1].obj,
                                &PyArray_Type, &spec[2].obj, &PyArray_Type,
                                &master[0].obj, &PyArray_Type, &master[1].obj,
                                &sys_err, &rv_shift, &lambda_ref) &&
               check_spectrum_and_master(spec, master,
                                         quasmir::taylor_params(kind), 2) &&
               convert_all(
                   {&spec[0], &spec[1], &spec[2], &master[0], &master[1]});
    }

    bool run(quasmir::Taylor kind, const quasmir::TaylorTables *tables,
             quasmir::TaylorResult *result) const
    {
        const quasmir::TaylorInput in{spec[0].data(),    spec[1].data(),
                                      spec[2].data(),    spec[0].count(),
                                      master[0].data(),  master[1].data(),
                                      master[0].count(), lambda_ref,
                                      sys_err,           rv_shift};
        if (quasmir::taylor_fit(kind, in, tables, result) ==
            Status::no_memory) {
            PyErr_NoMemory();
            return false;
        }
        return true;
    }
};

PyObject *first_order(PyObject *args, quasmir::Taylor kind)
{
    TaylorCall call;
    quasmir::TaylorResult r;
    if (!call.parse(args, kind) || !call.run(kind, nullptr, &r)) {
        return nullptr;
    }
    const double offset =
        kind == quasmir::Taylor::with_offset ? r.coeffs[2] : 0.0;
    return Py_BuildValue("ddddd", r.coeffs[0], r.rv, r.rv_err, offset,
                         r.chi2_red);
}

PyObject *get_RV_line_by_line2(PyObject *, PyObject *args)
{
    return first_order(args, quasmir::Taylor::first_order);
}

PyObject *get_RV_line_by_line2_with_offset(PyObject *, PyObject *args)
{
    return first_order(args, quasmir::Taylor::with_offset);
}

PyObject *get_RV_line_by_line3(PyObject *, PyObject *args)
{
    const quasmir::Taylor kind = quasmir::Taylor::second_order;
    TaylorCall call;
    if (!call.parse(args, kind)) {
        return nullptr;
    }
    // The kernel leaves the derivative entries that have no pair as it
    // finds them: zero-filled arrays make them 0.0.
    npy_intp n_master = call.master[0].length;
    npy_intp n_pix = call.spec[0].length;
    Ref shifted(PyArray_ZEROS(1, &n_master, NPY_DOUBLE, 0));
    Ref d1(PyArray_ZEROS(1, &n_master, NPY_DOUBLE, 0));
    Ref d2(PyArray_ZEROS(1, &n_master, NPY_DOUBLE, 0));
    Ref flux_interp(PyArray_ZEROS(1, &n_pix, NPY_DOUBLE, 0));
    Ref d1_interp(PyArray_ZEROS(1, &n_pix, NPY_DOUBLE, 0));
    Ref d2_interp(PyArray_ZEROS(1, &n_pix, NPY_DOUBLE, 0));
    if (!shifted || !d1 || !d2 || !flux_interp || !d1_interp || !d2_interp) {
        return nullptr;
    }
    const quasmir::TaylorTables tables{
        array_data(shifted),     array_data(d1),        array_data(d2),
        array_data(flux_interp), array_data(d1_interp), array_data(d2_interp)};
    quasmir::TaylorResult r;
    if (!call.run(kind, &tables, &r)) {
        return nullptr;
    }
    return Py_BuildValue("dddddddOOOOOO", r.coeffs[0], r.coeffs[1],
                         r.coeffs[2], r.rv, r.rv_err, 0.0, r.chi2_red,
                         shifted.get(), d1.get(), d2.get(), flux_interp.get(),
                         d1_interp.get(), d2_interp.get());
}

// Python strips the signature line ("name(...)\n--\n\n") from __doc__ and
// keeps it for inspect.signature and help().
#define SIGNATURE(name, args) name "($module, " args ", /)\n--\n\n"
#define TAYLOR_ARGS                                                   \
    "wave, flux_err, flux, wave_master, flux_master, sys_err=0.0, " \
    "rv_shift=0.0, lambda_ref=100000.0"

PyMethodDef quasmir_methods[] = {
    {"get_RV_line_by_line", get_RV_line_by_line, METH_VARARGS,
     SIGNATURE("get_RV_line_by_line",
               "rv_trials, wave, flux_err, flux, wave_master, flux_master, "
               "sys_err=0.0") "calculate spectrum"},
    {"get_RV_line_by_line2_with_offset", get_RV_line_by_line2_with_offset,
     METH_VARARGS,
     SIGNATURE("get_RV_line_by_line2_with_offset",
               TAYLOR_ARGS) "calculate spectrum"},
    {"get_RV_line_by_line2", get_RV_line_by_line2, METH_VARARGS,
     SIGNATURE("get_RV_line_by_line2", TAYLOR_ARGS) "calculate spectrum"},
    {"get_RV_line_by_line3", get_RV_line_by_line3, METH_VARARGS,
     SIGNATURE("get_RV_line_by_line3", TAYLOR_ARGS) "calculate spectrum"},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef moduledef = {PyModuleDef_HEAD_INIT,
                         "quasmir",
                         " ",
                         -1,
                         quasmir_methods,
                         nullptr,
                         nullptr,
                         nullptr,
                         nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_quasmir(void)
{
    if (_import_array() < 0) {
        PyErr_Print();
        PyErr_SetString(PyExc_ImportError,
                        "numpy.core.multiarray failed to import");
        return nullptr;
    }
    return PyModule_Create2(&moduledef, 1013);
}

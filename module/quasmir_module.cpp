// The Python front of quasmir: argument parsing and validation, the calls
// into the kernels, and the result tuples.
//
// Every method validates all its arguments in one block before any work.
// Arrays must be numpy ndarrays of real numbers and one-dimensional; other
// real dtypes, and arrays that are not contiguous, aligned native float64,
// are converted (no copy when they already are).  Every error about an
// argument names the method and the argument.  Checks, conversions and
// results run with the interpreter lock held, the kernels without it.
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

// One array argument of a method: the object as passed (borrowed from the
// argument tuple) and, once converted, the contiguous float64 base-class
// ndarray read.  length is measured on the object passed for the checks
// before conversion, then again on the array read.
struct ArrayArg {
    const char *method;
    const char *name;
    PyObject *obj = nullptr;
    npy_intp length = 0;
    Ref array;

    ArrayArg(const char *method_name, const char *arg_name)
        : method(method_name), name(arg_name)
    {
    }

    const double *data() const
    {
        return static_cast<const double *>(
            PyArray_DATA(reinterpret_cast<PyArrayObject *>(array.get())));
    }
    std::int32_t count() const { return static_cast<std::int32_t>(length); }
};

// 1 when obj is a numpy masked array, 0 when not, -1 on error.  Only
// ndarray subclasses are looked at, so plain arrays cost nothing.  This may
// run Python code (an import, a __class__ property).
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

bool check_kind(const ArrayArg &arg, PyArrayObject *arr)
{
    PyArray_Descr *dtype = PyArray_DESCR(arr);
    const char kind = dtype->kind;
    if (kind != 'f' && kind != 'i' && kind != 'u') {
        PyErr_Format(PyExc_TypeError, "%s: %s must hold real numbers, not %S",
                     arg.method, arg.name, reinterpret_cast<PyObject *>(dtype));
        return false;
    }
    return true;
}

// One dimension of at most INT32_MAX elements; sets arg.length.
bool check_shape(ArrayArg &arg, PyArrayObject *arr)
{
    if (PyArray_NDIM(arr) != 1) {
        PyErr_Format(PyExc_ValueError,
                     "%s: %s must be one-dimensional, not %d-dimensional",
                     arg.method, arg.name, PyArray_NDIM(arr));
        return false;
    }
    arg.length = PyArray_DIM(arr, 0);
    if (arg.length > INT32_MAX) {
        PyErr_Format(PyExc_ValueError,
                     "%s: %s has %zd elements, more than the %d a count can "
                     "hold",
                     arg.method, arg.name,
                     static_cast<Py_ssize_t>(arg.length), INT32_MAX);
        return false;
    }
    return true;
}

// Element type, dimensions and size of one array argument as passed, so
// that nothing is converted (a huge array never copied) before they pass.
bool check_array(ArrayArg &arg)
{
    // Reading a masked array's data would count the pixels it masks.
    const int masked = is_masked_array(arg.obj);
    if (masked != 0) {
        if (masked > 0) {
            PyErr_Format(PyExc_TypeError,
                         "%s: %s is a masked array: pass the pixels to use "
                         "(numpy.ma.compressed) or filled values",
                         arg.method, arg.name);
        }
        return false;
    }
    PyArrayObject *arr = reinterpret_cast<PyArrayObject *>(arg.obj);
    return check_kind(arg, arr) && check_shape(arg, arr);
}

// Arrays read together must have the length of the first of them.
bool check_same_length(const ArrayArg &first,
                       std::initializer_list<const ArrayArg *> others)
{
    for (const ArrayArg *arg : others) {
        if (arg->length != first.length) {
            PyErr_Format(PyExc_ValueError,
                         "%s: %s has length %zd but %s has length %zd",
                         first.method, arg->name,
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
        PyErr_Format(PyExc_ValueError,
                     "%s: %s must hold at least %zd %s, got %zd", arg.method,
                     arg.name, static_cast<Py_ssize_t>(minimum), what,
                     static_cast<Py_ssize_t>(arg.length));
        return false;
    }
    return true;
}

// The array read: the argument itself when it is a contiguous, aligned,
// native float64 ndarray, else a base-class float64 ndarray made from it.
// Runs no Python code: the element type is checked again (Python code run
// by a later argument's check may have changed it), a real type casts to
// float64 without warnings, and no subclass hook (__array_finalize__) is
// called for a base-class result.  A subclass gives a view or a copy.
bool convert(ArrayArg &arg)
{
    PyArrayObject *arr = reinterpret_cast<PyArrayObject *>(arg.obj);
    if (!check_kind(arg, arr)) {
        return false;
    }
    if (PyArray_CheckExact(arg.obj) && PyArray_TYPE(arr) == NPY_DOUBLE &&
        PyArray_ISCARRAY_RO(arr) && PyArray_ISNOTSWAPPED(arr)) {
        Py_INCREF(arg.obj);
        arg.array.reset(arg.obj);
        return true;
    }
    arg.array.reset(PyArray_FromAny(
        arg.obj, PyArray_DescrFromType(NPY_DOUBLE), 0, 0,
        NPY_ARRAY_IN_ARRAY | NPY_ARRAY_FORCECAST | NPY_ARRAY_ENSUREARRAY,
        nullptr));
    return static_cast<bool>(arg.array);
}

// Checks every array as passed, converts them all and measures the
// lengths again on the arrays read.  Python code can run until the last
// conversion (a __class__ property, say, in the masked-array check) and
// could resize an argument checked before it; what the kernel reads is
// measured after it, and from then on no Python code runs before the
// kernel.
bool check_and_convert(std::initializer_list<ArrayArg *> args)
{
    for (ArrayArg *arg : args) {
        if (!check_array(*arg)) {
            return false;
        }
    }
    for (ArrayArg *arg : args) {
        if (!convert(*arg)) {
            return false;
        }
    }
    for (ArrayArg *arg : args) {
        if (!check_shape(*arg, reinterpret_cast<PyArrayObject *>(
                                   arg->array.get()))) {
            return false;
        }
    }
    return true;
}

// The spectrum (wave, flux_err, flux) and master (wave_master, flux_master)
// arrays, converted: equal lengths within each, and the fewest points a
// fit can be made from.
bool check_lengths(const ArrayArg *spec, const ArrayArg *master,
                   npy_intp min_pixels, npy_intp min_master)
{
    return check_same_length(spec[0], {&spec[1], &spec[2]}) &&
           check_same_length(master[0], {&master[1]}) &&
           check_min_length(spec[0], min_pixels, "pixels") &&
           check_min_length(master[0], min_master, "points");
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

// --- errors of the argument parser ------------------------------------------

// A method's positional arguments: arrays, then optional numbers.
struct Signature {
    const char *method;
    std::initializer_list<const char *> arrays;
    std::initializer_list<const char *> numbers;
};

// The error being raised, normalized, taken out of the error indicator;
// null when there is none.
PyObject *take_error()
{
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type = nullptr;
    PyObject *value = nullptr;
    PyObject *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && traceback != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

// Raises the exception instance error (the reference is taken over).
void raise_error(PyObject *error)
{
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(error);
#else
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(error));
    Py_INCREF(type);
    PyErr_Restore(type, error, PyException_GetTraceback(error));
#endif
}

// The message for a number the parser could not convert, or null when the
// error type is not one this front rewords.
PyObject *number_message(const char *method, const char *name, PyObject *obj,
                         PyObject *error_type)
{
    if (error_type == PyExc_OverflowError) {
        return PyUnicode_FromFormat("%s: %s is too large to convert to float",
                                    method, name);
    }
    if (error_type != PyExc_TypeError) {
        return nullptr;
    }
    if (PyArray_Check(obj) &&
        PyArray_NDIM(reinterpret_cast<PyArrayObject *>(obj)) > 0) {
        return PyUnicode_FromFormat(
            "%s: %s must be a real number, not a %d-dimensional array",
            method, name, PyArray_NDIM(reinterpret_cast<PyArrayObject *>(obj)));
    }
    return PyUnicode_FromFormat("%s: %s must be a real number, not %s", method,
                                name, Py_TYPE(obj)->tp_name);
}

// Finds the argument the parser failed on, in the parser's order; returns
// the type and message of the error that names it, or false when it finds
// none.
bool find_bad_argument(const Signature &sig, PyObject *args,
                       PyObject *parser_type, PyObject **type,
                       PyObject **message)
{
    const Py_ssize_t given = PyTuple_GET_SIZE(args);
    const Py_ssize_t least = static_cast<Py_ssize_t>(sig.arrays.size());
    const Py_ssize_t most =
        least + static_cast<Py_ssize_t>(sig.numbers.size());
    // A wrong count or an array that is not an ndarray is a TypeError.
    const bool type_error = parser_type == PyExc_TypeError;
    *type = PyExc_TypeError;
    if (given < least || given > most) {
        *message = PyUnicode_FromFormat(
            "%s: takes %s %zd arguments (%zd given)", sig.method,
            given < least ? "at least" : "at most",
            given < least ? least : most, given);
        return type_error;
    }
    Py_ssize_t i = 0;
    for (const char *name : sig.arrays) {
        PyObject *obj = PyTuple_GET_ITEM(args, i++);
        if (!PyArray_Check(obj)) {
            *message = PyUnicode_FromFormat(
                "%s: %s must be numpy.ndarray, not %s", sig.method, name,
                Py_TYPE(obj)->tp_name);
            return type_error;
        }
    }
    for (const char *name : sig.numbers) {
        if (i >= given) {
            break;
        }
        PyObject *obj = PyTuple_GET_ITEM(args, i++);
        if (PyFloat_AsDouble(obj) == -1.0 && PyErr_Occurred()) {
            // The parser's own error decides the type raised.
            PyErr_Clear();
            *type = parser_type;
            *message = number_message(sig.method, name, obj, parser_type);
            return *message != nullptr;
        }
    }
    return false;
}

// Called when PyArg_ParseTuple has failed: raises the same type of error
// with a message that names the method and the argument at fault, its
// cause the parser's own error.  Leaves the parser's error as it is when
// it cannot tell which argument is at fault.
void name_bad_argument(const Signature &sig, PyObject *args)
{
    PyObject *parser = take_error();
    if (parser == nullptr) {
        return;
    }
    PyObject *type = nullptr;
    PyObject *message = nullptr;
    const bool found = find_bad_argument(
        sig, args, reinterpret_cast<PyObject *>(Py_TYPE(parser)), &type,
        &message);
    Ref text(message);
    Ref error(found && text ? PyObject_CallOneArg(type, text.get())
                            : nullptr);
    PyErr_Clear();
    if (!error) {
        raise_error(parser);
        return;
    }
    // raise error from parser
    Py_INCREF(parser);
    PyException_SetContext(error.get(), parser);
    PyException_SetCause(error.get(), parser);
    Py_INCREF(error.get());
    raise_error(error.get());
}

PyObject *get_RV_line_by_line(PyObject *, PyObject *args)
{
    static const char method[] = "get_RV_line_by_line";
    ArrayArg trials(method, "rv_trials");
    ArrayArg spec[3] = {ArrayArg(method, "wave"),
                        ArrayArg(method, "flux_err"),
                        ArrayArg(method, "flux")};
    ArrayArg master[2] = {ArrayArg(method, "wave_master"),
                          ArrayArg(method, "flux_master")};
    double sys_err = 0.0;
    if (!PyArg_ParseTuple(args, "O!O!O!O!O!O!|d:get_RV_line_by_line",
                          &PyArray_Type, &trials.obj, &PyArray_Type,
                          &spec[0].obj, &PyArray_Type, &spec[1].obj,
                          &PyArray_Type, &spec[2].obj, &PyArray_Type,
                          &master[0].obj, &PyArray_Type, &master[1].obj,
                          &sys_err)) {
        name_bad_argument({method,
                           {"rv_trials", "wave", "flux_err", "flux",
                            "wave_master", "flux_master"},
                           {"sys_err"}},
                          args);
        return nullptr;
    }
    // Two fit parameters need two pixels; matching needs one master point.
    if (!check_and_convert({&trials, &spec[0], &spec[1], &spec[2], &master[0],
                            &master[1]}) ||
        !check_lengths(spec, master, 2, 1)) {
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
    Status status;
    Py_BEGIN_ALLOW_THREADS
    status = quasmir::rv_scan(
        trials.data(), array_data(rv), array_data(rv_err),
        array_data(chi2_red), trials.count(), spec[0].data(), sys_err,
        spec[1].data(), spec[2].data(), spec[0].count(), master[0].data(),
        master[1].data(), master[0].count(), rows);
    Py_END_ALLOW_THREADS
    if (status == Status::no_memory) {
        return PyErr_NoMemory();
    }
    return Py_BuildValue("OOOO", rv.get(), rv_err.get(), chi2_red.get(),
                         coeffs.get());
}

// Parses and validates the arguments every Taylor method takes, and runs
// the fit without the interpreter lock.
struct TaylorCall {
    const char *method;
    ArrayArg spec[3];
    ArrayArg master[2];
    double sys_err = 0.0;
    double rv_shift = 0.0;
    double lambda_ref = 100000.0;

    explicit TaylorCall(const char *method_name)
        : method(method_name),
          spec{ArrayArg(method_name, "wave"),
               ArrayArg(method_name, "flux_err"),
               ArrayArg(method_name, "flux")},
          master{ArrayArg(method_name, "wave_master"),
                 ArrayArg(method_name, "flux_master")}
    {
    }

    // format: "O!O!O!O!O!|ddd:" and the method's name.
    bool parse(PyObject *args, const char *format, quasmir::Taylor kind)
    {
        if (!PyArg_ParseTuple(args, format, &PyArray_Type, &spec[0].obj,
                              &PyArray_Type, &spec[1].obj, &PyArray_Type,
                              &spec[2].obj, &PyArray_Type, &master[0].obj,
                              &PyArray_Type, &master[1].obj, &sys_err,
                              &rv_shift, &lambda_ref)) {
            name_bad_argument(
                {method,
                 {"wave", "flux_err", "flux", "wave_master", "flux_master"},
                 {"sys_err", "rv_shift", "lambda_ref"}},
                args);
            return false;
        }
        return check_and_convert({&spec[0], &spec[1], &spec[2], &master[0],
                                  &master[1]}) &&
               check_lengths(spec, master, quasmir::taylor_params(kind), 2);
    }

    // tables: the caller's tables, or null for the kernel's own.  The
    // kernel prints nothing when print is Print::none.
    bool run(quasmir::Taylor kind, const quasmir::TaylorTables *tables,
             quasmir::TaylorResult *result, quasmir::Print print) const
    {
        const quasmir::TaylorInput in{spec[0].data(),    spec[1].data(),
                                      spec[2].data(),    spec[0].count(),
                                      master[0].data(),  master[1].data(),
                                      master[0].count(), lambda_ref,
                                      sys_err,           rv_shift};
        Status status;
        Py_BEGIN_ALLOW_THREADS
        status = quasmir::taylor_fit(kind, in, tables, result, print);
        Py_END_ALLOW_THREADS
        if (status == Status::no_memory) {
            PyErr_NoMemory();
            return false;
        }
        return true;
    }
};

PyObject *first_order(PyObject *args, quasmir::Taylor kind,
                      const char *method, const char *format)
{
    TaylorCall call(method);
    quasmir::TaylorResult r;
    // The edge warnings of the first-order fit are printed by the kernel.
    if (!call.parse(args, format, kind) ||
        !call.run(kind, nullptr, &r, quasmir::Print::all)) {
        return nullptr;
    }
    const double offset =
        kind == quasmir::Taylor::with_offset ? r.coeffs[2] : 0.0;
    return Py_BuildValue("ddddd", r.coeffs[0], r.rv, r.rv_err, offset,
                         r.chi2_red);
}

PyObject *get_RV_line_by_line2(PyObject *, PyObject *args)
{
    return first_order(args, quasmir::Taylor::first_order,
                       "get_RV_line_by_line2",
                       "O!O!O!O!O!|ddd:get_RV_line_by_line2");
}

PyObject *get_RV_line_by_line2_with_offset(PyObject *, PyObject *args)
{
    return first_order(args, quasmir::Taylor::with_offset,
                       "get_RV_line_by_line2_with_offset",
                       "O!O!O!O!O!|ddd:get_RV_line_by_line2_with_offset");
}

PyObject *get_RV_line_by_line3(PyObject *, PyObject *args)
{
    const quasmir::Taylor kind = quasmir::Taylor::second_order;
    TaylorCall call("get_RV_line_by_line3");
    if (!call.parse(args, "O!O!O!O!O!|ddd:get_RV_line_by_line3", kind)) {
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
    if (!call.run(kind, &tables, &r, quasmir::Print::none)) {
        return nullptr;
    }
    // The fitted velocity beyond the shift, through sys.stdout so that it
    // keeps its place among Python's own output.
    PySys_WriteStdout("%.2f\n", r.rv_fitted);
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

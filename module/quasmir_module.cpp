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

#include <initializer_list>

#include "kernels.hpp"
#include "pyarrays.hpp"

namespace {

using quasmir::Status;
using quasmir::front::array_data;
using quasmir::front::ArrayArg;
using quasmir::front::check_array;
using quasmir::front::check_min_length;
using quasmir::front::check_same_length;
using quasmir::front::Ref;

// Checks every array as passed, then converts them all and measures the
// lengths again on the arrays read (quasmir::front::convert_all).
bool check_and_convert(std::initializer_list<ArrayArg *> args)
{
    for (ArrayArg *arg : args) {
        if (!check_array(*arg, "pixels")) {
            return false;
        }
    }
    return quasmir::front::convert_all(args);
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

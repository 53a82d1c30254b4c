// Array arguments of the Python front: a reference owner, the checks of an
// argument as passed, and its conversion to the contiguous array a kernel
// reads.  Shared by the extension modules quasmir and quasmir_tool._batch.
//
// Every message names the calling method and the argument.  Include after
// <numpy/arrayobject.h>'s import set-up, from one translation unit per
// module: the numpy API table these functions use is that module's own.
#ifndef QUASMIR_MODULE_PYARRAYS_HPP
#define QUASMIR_MODULE_PYARRAYS_HPP

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>
#include <numpy/arrayobject.h>

#include <cstdint>
#include <initializer_list>

namespace quasmir::front {

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
// argument tuple) and, once converted, the contiguous base-class ndarray
// read: float64 for values, int64 for integers (window bounds).  length is
// measured on the object passed for the checks before conversion, then
// again on the array read.
struct ArrayArg {
    const char *method;
    const char *name;
    bool integers;
    PyObject *obj = nullptr;
    npy_intp length = 0;
    Ref array;

    ArrayArg(const char *method_name, const char *arg_name,
             bool holds_integers = false)
        : method(method_name), name(arg_name), integers(holds_integers)
    {
    }

    template <class T = double>
    const T *data() const
    {
        return static_cast<const T *>(
            PyArray_DATA(reinterpret_cast<PyArrayObject *>(array.get())));
    }
    std::int32_t count() const { return static_cast<std::int32_t>(length); }
};

// 1 when obj is a numpy masked array, 0 when not, -1 on error.  Only
// ndarray subclasses are looked at, so plain arrays cost nothing.  This may
// run Python code (an import, a __class__ property).
inline int is_masked_array(PyObject *obj)
{
    if (PyArray_CheckExact(obj)) {
        return 0;
    }
    Ref ma(PyImport_ImportModule("numpy.ma"));
    Ref masked_type(ma ? PyObject_GetAttrString(ma.get(), "MaskedArray")
                       : nullptr);
    return masked_type ? PyObject_IsInstance(obj, masked_type.get()) : -1;
}

// Real numbers; integers only, for an argument that holds them.
inline bool check_kind(const ArrayArg &arg, PyArrayObject *arr)
{
    PyArray_Descr *dtype = PyArray_DESCR(arr);
    const char kind = dtype->kind;
    const bool integer = kind == 'i' || kind == 'u';
    if (arg.integers && !integer) {
        PyErr_Format(PyExc_TypeError, "%s: %s must hold integers, not %S",
                     arg.method, arg.name, reinterpret_cast<PyObject *>(dtype));
        return false;
    }
    if (!integer && kind != 'f') {
        PyErr_Format(PyExc_TypeError, "%s: %s must hold real numbers, not %S",
                     arg.method, arg.name, reinterpret_cast<PyObject *>(dtype));
        return false;
    }
    return true;
}

// One dimension of at most INT32_MAX elements; sets arg.length.
inline bool check_shape(ArrayArg &arg, PyArrayObject *arr)
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

// Element type, dimensions and size of one ndarray argument as passed, so
// that nothing is converted (a huge array never copied) before they pass.
// what: what a masked array's caller should pass instead ("pixels").
inline bool check_array(ArrayArg &arg, const char *what)
{
    // Reading a masked array's data would count the elements it masks.
    const int masked = is_masked_array(arg.obj);
    if (masked != 0) {
        if (masked > 0) {
            PyErr_Format(PyExc_TypeError,
                         "%s: %s is a masked array: pass the %s to use "
                         "(numpy.ma.compressed) or filled values",
                         arg.method, arg.name, what);
        }
        return false;
    }
    PyArrayObject *arr = reinterpret_cast<PyArrayObject *>(arg.obj);
    return check_kind(arg, arr) && check_shape(arg, arr);
}

// Arrays read together must have the length of the first of them.
inline bool check_same_length(const ArrayArg &first,
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

inline bool check_min_length(const ArrayArg &arg, npy_intp minimum,
                             const char *what)
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
// native float64 (int64 for integers) ndarray, else a base-class ndarray
// of that type made from it.  Runs no Python code: the element type is
// checked again (Python code run by a later argument's check may have
// changed it), a real type casts without warnings, and no subclass hook
// (__array_finalize__) is called for a base-class result.  A subclass
// gives a view or a copy.
inline bool convert(ArrayArg &arg)
{
    PyArrayObject *arr = reinterpret_cast<PyArrayObject *>(arg.obj);
    if (!check_kind(arg, arr)) {
        return false;
    }
    const int type = arg.integers ? NPY_INT64 : NPY_DOUBLE;
    if (PyArray_CheckExact(arg.obj) && PyArray_TYPE(arr) == type &&
        PyArray_ISCARRAY_RO(arr) && PyArray_ISNOTSWAPPED(arr)) {
        Py_INCREF(arg.obj);
        arg.array.reset(arg.obj);
        return true;
    }
    arg.array.reset(PyArray_FromAny(
        arg.obj, PyArray_DescrFromType(type), 0, 0,
        NPY_ARRAY_IN_ARRAY | NPY_ARRAY_FORCECAST | NPY_ARRAY_ENSUREARRAY,
        nullptr));
    return static_cast<bool>(arg.array);
}

// Converts every array (all checked as passed) and measures the lengths
// again on the arrays read.  Python code can run until the last check (a
// __class__ property, say, in the masked-array check) and could resize an
// argument checked before it; what the kernel reads is measured after it,
// and from then on no Python code runs before the kernel.
template <class Args>
bool convert_all(const Args &args)
{
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

inline double *array_data(const Ref &array)
{
    return static_cast<double *>(
        PyArray_DATA(reinterpret_cast<PyArrayObject *>(array.get())));
}

}  // namespace quasmir::front

#endif  // QUASMIR_MODULE_PYARRAYS_HPP

#include "python/limiter_class.hpp"

#include <array>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "lib/number_text.hpp"
#include "python/argument_binder.hpp"
#include "python/argument_conversion.hpp"
#include "python/call_boundary.hpp"
#include "python/entry_points.hpp"
#include "python/once_cell.hpp"
#include "python/py_ref.hpp"

namespace zarn::python {
namespace {

static_assert(std::is_nothrow_move_constructible_v<zarn::Limiter>);

// The leading signature line gives the class its __text_signature__.
constexpr const char* class_doc =
    "ZarnLimiter(sample_rate, threshold_dBFS=0.0, attack_ms=5.0, hold_ms=15.0, release_ms=40.0)\n"
    "--\n"
    "\n"
    "A configurable look-ahead brick-wall limiter.\n"
    "\n"
    "The limiter applies one linked gain value to all channels in each frame,\n"
    "preserving their relative balance. Processing is offline and every call\n"
    "starts with a neutral gain envelope.\n"
    "\n"
    "Args:\n"
    "    sample_rate: Sample rate in hertz. Must be a positive 32-bit integer.\n"
    "    threshold_dBFS: Output ceiling in dBFS. Must be finite and at most ``0.0``;\n"
    "        ``0.0`` is full scale and approximately ``-6.02`` is half scale.\n"
    "    attack_ms: Look-ahead attack time in milliseconds. It must round to at\n"
    "        least one sample at ``sample_rate``.\n"
    "    hold_ms: Hold time in milliseconds. May be zero.\n"
    "    release_ms: Release time in milliseconds. May be zero.\n"
    "\n"
    "Raises:\n"
    "    ValueError: If any configuration value is invalid.";

constexpr std::array<const char*, 5> constructor_parameters = {
    "sample_rate", "threshold_dBFS", "attack_ms", "hold_ms", "release_ms"};

const FunctionDescription constructor_description = {
    "__new__", "ZarnLimiter", constructor_parameters, 1};

// Moves a built limiter state into a new Python object of `type`.
PyObject* wrap_limiter(PyTypeObject* type, zarn::Limiter&& limiter) {
    auto allocate = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* object = allocate(type, 0);
    if (object == nullptr) {
        return nullptr;
    }
    PyZarnLimiter& self = as_limiter(object);
    new (&self.limiter) zarn::Limiter(std::move(limiter));
    new (&self.borrow_flag) BorrowFlag(0);
    return object;
}

PyObject* construct_limiter(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    std::array<PyRef, constructor_parameters.size()> slots;
    if (!bind_arguments(constructor_description, args, kwargs, slots)) {
        return nullptr;
    }
    // The floats first: a bad float is reported before a bad sample rate.
    const std::optional<LimiterSettings> settings =
        convert_settings(slots[1].get(), slots[2].get(), slots[3].get(), slots[4].get());
    if (!settings) {
        return nullptr;
    }
    std::optional<zarn::Limiter> created = build_limiter(slots[0].get(), *settings);
    if (!created) {
        return nullptr;
    }
    return wrap_limiter(type, std::move(*created));
}

// __new__: the only way an instance comes into existence.
PyObject* limiter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return call_boundary<PyObject*>(
        nullptr, [&]() -> PyObject* { return construct_limiter(type, args, kwargs); });
}

// Releases the limiter state, then the object memory, then the instance's
// reference to its heap type.
void limiter_dealloc(PyObject* object) {
    call_boundary_unraisable([&] {
        PyTypeObject* type = Py_TYPE(object);
        PyZarnLimiter& self = as_limiter(object);
        self.borrow_flag.~BorrowFlag();
        self.limiter.~Limiter();
        auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
        free_object(object);
        _Py_DecRef(reinterpret_cast<PyObject*>(type));
    });
}

PyObject* read_sample_rate(const zarn::Limiter& limiter) {
    return PyLong_FromUnsignedLong(limiter.sample_rate);
}
PyObject* read_threshold(const zarn::Limiter& limiter) {
    return PyFloat_FromDouble(limiter.threshold);
}
PyObject* read_threshold_dBFS(const zarn::Limiter& limiter) {
    return PyFloat_FromDouble(limiter.threshold_dBFS);
}
PyObject* read_lookahead_samples(const zarn::Limiter& limiter) {
    return PyLong_FromUnsignedLongLong(limiter.lookahead_samples);
}
PyObject* read_hold_samples(const zarn::Limiter& limiter) {
    return PyLong_FromUnsignedLongLong(limiter.hold_samples);
}
PyObject* read_release_samples(const zarn::Limiter& limiter) {
    return PyFloat_FromDouble(limiter.release_samples);
}

// A read-only property: reads one field under a shared borrow.
template <PyObject* (*Read)(const zarn::Limiter&)>
PyObject* get_property(PyObject* object, void*) {
    return call_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyZarnLimiter& self = as_limiter(object);
        const SharedBorrow borrow(self.borrow_flag);
        if (!borrow) {
            return nullptr;
        }
        return Read(self.limiter);
    });
}

std::string render_limiter(const zarn::Limiter& limiter) {
    return "ZarnLimiter(\n    sample_rate=" + zarn::render_unsigned(limiter.sample_rate) +
           ", threshold_dBFS=" + zarn::render_double(limiter.threshold_dBFS) +
           ", threshold=" + zarn::render_double(limiter.threshold) +
           ",\n    lookahead_samples=" + zarn::render_unsigned(limiter.lookahead_samples) +
           ", hold_samples=" + zarn::render_unsigned(limiter.hold_samples) +
           ", release_samples=" + zarn::render_double(limiter.release_samples) + "\n)";
}

// __repr__, also used by str().
PyObject* limiter_repr(PyObject* object) {
    return call_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyZarnLimiter& self = as_limiter(object);
        const SharedBorrow borrow(self.borrow_flag);
        if (!borrow) {
            return nullptr;
        }
        const std::string text = render_limiter(self.limiter);
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

PyMethodDef limiter_methods[] = {
    {"process", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&process)),
     METH_FASTCALL | METH_KEYWORDS, process_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef limiter_properties[] = {
    {"sample_rate", get_property<read_sample_rate>, nullptr,
     "int: Configured sample rate in hertz.", nullptr},
    {"threshold", get_property<read_threshold>, nullptr,
     "float: Configured output ceiling as a linear amplitude.", nullptr},
    {"threshold_dBFS", get_property<read_threshold_dBFS>, nullptr,
     "float: Configured output ceiling in dBFS.", nullptr},
    {"lookahead_samples", get_property<read_lookahead_samples>, nullptr,
     "int: Look-ahead latency in samples.", nullptr},
    {"attack_samples", get_property<read_lookahead_samples>, nullptr,
     "int: Look-ahead latency in samples. (alias for ``lookahead_samples``)", nullptr},
    {"hold_samples", get_property<read_hold_samples>, nullptr,
     "int: Configured hold duration in samples.", nullptr},
    {"release_samples", get_property<read_release_samples>, nullptr,
     "float: Configured release duration in samples.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot limiter_slots[] = {
    {Py_tp_doc, const_cast<char*>(class_doc)},
    {Py_tp_new, reinterpret_cast<void*>(&limiter_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&limiter_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(&limiter_repr)},
    {Py_tp_methods, limiter_methods},
    {Py_tp_getset, limiter_properties},
    {0, nullptr},
};

// Final (no Py_TPFLAGS_BASETYPE), with neither an instance dictionary nor a
// weak-reference slot.
PyType_Spec limiter_type_definition = {
    "zarn_limiter.ZarnLimiter",
    static_cast<int>(sizeof(PyZarnLimiter)),
    0,
    Py_TPFLAGS_DEFAULT,
    limiter_slots,
};

// Holds its reference for the life of the process: the type is never
// released, not even by the static destructors that run after the
// interpreter has finalised.
OnceCell<PyObject*> limiter_type_cell;

std::optional<PyObject*> create_limiter_type() {
    PyObject* type = PyType_FromSpec(&limiter_type_definition);
    if (type == nullptr) {
        return std::nullopt;
    }
    return type;
}

}  // namespace

PyTypeObject* limiter_type() {
    PyObject** type = limiter_type_cell.get_or_init(create_limiter_type);
    return type == nullptr ? nullptr : reinterpret_cast<PyTypeObject*>(*type);
}

}  // namespace zarn::python

#include "python/limiter_class.hpp"

#include <array>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "binding/argument_binder.hpp"
#include "binding/borrow_guard.hpp"
#include "binding/call_boundary.hpp"
#include "binding/floating_point_environment.hpp"
#include "binding/once_cell.hpp"
#include "binding/py_ref.hpp"
#include "lib/limiter.hpp"
#include "lib/number_text.hpp"
#include "binding/argument_conversion.hpp"
#include "python/audio_call.hpp"
#include "python/settings_doc.hpp"

namespace zarn::python {
namespace {

static_assert(std::is_nothrow_move_constructible_v<zarn::Limiter>);

// The Python ZarnLimiter object: it owns one limiter by value and guards it
// with its access counter.
struct LimiterObject {
    PyObject_HEAD
    zarn::Limiter limiter;
    BorrowFlag borrow_flag;
};

// The object behind a `self` that the interpreter guarantees to be a
// ZarnLimiter instance.
LimiterObject& as_limiter(PyObject* self) noexcept {
    return *reinterpret_cast<LimiterObject*>(self);
}

// The leading signature line gives the class its __text_signature__.
constexpr const char* class_doc =
    "ZarnLimiter(" ZARN_SETTINGS_SIGNATURE ")\n"
    "--\n"
    "\n"
    "A configurable look-ahead brick-wall limiter.\n"
    "\n"
    "The limiter applies one linked gain value to all channels in each frame,\n"
    "preserving their relative balance. Processing is offline and every call\n"
    "starts with a neutral gain envelope.\n"
    "\n"
    "Args:\n"
    ZARN_SETTINGS_ARGUMENTS
    "\n"
    "Raises:\n"
    "    ValueError: If any configuration value is invalid.";

constexpr std::array<const char*, 5> constructor_parameters = {
    "sample_rate", "threshold_dBFS", "attack_ms", "hold_ms", "release_ms"};
const FunctionDescription constructor_description = {"ZarnLimiter.__new__()",
                                                     constructor_parameters, 1};

// __new__: the only way an instance comes into existence.
PyObject* limiter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return call_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        std::array<PyObject*, constructor_parameters.size()> slots{};
        if (!bind_arguments(constructor_description, args, kwargs, slots)) {
            return nullptr;
        }
        const DefaultFloatingPointEnvironment floating_point;
        // The floats first: a bad float is reported before a bad sample rate.
        const std::optional<LimiterSettings> settings =
            convert_settings(std::span(slots).subspan(1));
        if (!settings) {
            return nullptr;
        }
        std::optional<zarn::Limiter> created = build_limiter(slots[0], *settings);
        auto allocate = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        PyObject* object = created ? allocate(type, 0) : nullptr;
        if (object == nullptr) {
            return nullptr;
        }
        new (&as_limiter(object).limiter) zarn::Limiter(std::move(*created));
        new (&as_limiter(object).borrow_flag) BorrowFlag(0);
        return object;
    });
}

// Releases the limiter, then the object memory, then the instance's
// reference to its heap type; none of it can throw.
void limiter_dealloc(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    LimiterObject& self = as_limiter(object);
    self.borrow_flag.~BorrowFlag();
    self.limiter.~Limiter();
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(object);
    _Py_DecRef(reinterpret_cast<PyObject*>(type));
}

// Runs `read` on the limiter under a shared borrow, inside the boundary.
template <class Read>
PyObject* read_limiter(PyObject* object, Read&& read) {
    return call_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        LimiterObject& self = as_limiter(object);
        const Borrow borrow(self.borrow_flag, false);
        if (!borrow) {
            return nullptr;
        }
        return read(self.limiter);
    });
}

// A read-only property: the limiter's `Field`, a count or a double.
template <auto Field>
PyObject* get_property(PyObject* object, void*) {
    return read_limiter(object, [](const zarn::Limiter& limiter) {
        const auto value = limiter.*Field;
        if constexpr (std::is_integral_v<decltype(value)>) {
            return PyLong_FromUnsignedLongLong(value);
        } else {
            return PyFloat_FromDouble(value);
        }
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
    return read_limiter(object, [](const zarn::Limiter& limiter) {
        const std::string text = render_limiter(limiter);
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

// The leading signature lines give the method its __text_signature__; the
// default of `axis` shows as "...".
constexpr const char* process_doc =
    "process($self, audio, axis=...)\n"
    "--\n"
    "\n"
    "Process mono or multichannel audio.\n"
    "\n"
    "Args:\n"
    "    audio: A one-dimensional mono array or a two-dimensional\n"
    "        multichannel array. Values are converted to ``numpy.float32``;\n"
    "        the input is not modified.\n"
    "    axis: Frame axis. The default of ``-1`` expects\n"
    "        ``(channels, frames)``. Use ``0`` for ``(frames, channels)``.\n"
    "        For mono input, ``0`` and ``-1`` are\n"
    "        equivalent.\n"
    "\n"
    "Returns:\n"
    "    A tuple ``(audio, frame_gains)``. ``audio`` is a new ``numpy.float32``\n"
    "    array with the same shape as the input. ``frame_gains`` is a\n"
    "    one-dimensional ``numpy.float32`` array containing one linked gain\n"
    "    value per frame.\n"
    "\n"
    "Raises:\n"
    "    ValueError: If the input is not one- or two-dimensional, the\n"
    "        frame axis is invalid, the channel dimension is empty, or an\n"
    "        input sample is not finite.";


constexpr std::array<const char*, 2> process_parameters = {"audio", "axis"};
const FunctionDescription process_description = {"ZarnLimiter.process()", process_parameters,
                                                 1};

// process(audio, axis=-1): limits one buffer with the object's own limiter,
// which it holds exclusively for the whole call.
PyObject* limiter_process(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    return call_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        LimiterObject& object = as_limiter(self);
        return limit_audio(process_description, {&object.limiter, &object.borrow_flag}, args,
                           nargs, kwnames);
    });
}

PyMethodDef limiter_methods[] = {
    {"process", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&limiter_process)),
     METH_FASTCALL | METH_KEYWORDS, process_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef limiter_properties[] = {
    {"sample_rate", get_property<&zarn::Limiter::sample_rate>, nullptr,
     "int: Configured sample rate in hertz.", nullptr},
    {"threshold", get_property<&zarn::Limiter::threshold>, nullptr,
     "float: Configured output ceiling as a linear amplitude.", nullptr},
    {"threshold_dBFS", get_property<&zarn::Limiter::threshold_dBFS>, nullptr,
     "float: Configured output ceiling in dBFS.", nullptr},
    {"lookahead_samples", get_property<&zarn::Limiter::lookahead_samples>, nullptr,
     "int: Look-ahead latency in samples.", nullptr},
    {"attack_samples", get_property<&zarn::Limiter::lookahead_samples>, nullptr,
     "int: Look-ahead latency in samples. (alias for ``lookahead_samples``)", nullptr},
    {"hold_samples", get_property<&zarn::Limiter::hold_samples>, nullptr,
     "int: Configured hold duration in samples.", nullptr},
    {"release_samples", get_property<&zarn::Limiter::release_samples>, nullptr,
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

// Final (no Py_TPFLAGS_BASETYPE) and immutable like the built-in types (its
// attributes cannot be set or deleted), with neither an instance dictionary
// nor a weak-reference slot.
PyType_Spec limiter_type_definition = {
    "zarn_limiter.ZarnLimiter",
    static_cast<int>(sizeof(LimiterObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    limiter_slots,
};

}  // namespace

PyTypeObject* limiter_type() {
    // Holds its reference for the life of the process: the type is never
    // released, not even by the static destructors that run after the
    // interpreter has finalised.
    static OnceCell<PyTypeObject*> type;
    PyTypeObject** created = type.get_or_init([]() -> std::optional<PyTypeObject*> {
        PyObject* object = PyType_FromSpec(&limiter_type_definition);
        return object ? std::optional(reinterpret_cast<PyTypeObject*>(object)) : std::nullopt;
    });
    return created ? *created : nullptr;
}

}  // namespace zarn::python

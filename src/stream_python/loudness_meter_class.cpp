#include "stream_python/loudness_meter_class.hpp"

#include <array>
#include <new>
#include <optional>
#include <utility>

#include "binding/argument_binder.hpp"
#include "binding/borrow_guard.hpp"
#include "binding/call_boundary.hpp"
#include "binding/floating_point_environment.hpp"
#include "binding/lock_release.hpp"
#include "binding/once_cell.hpp"
#include "binding/py_ref.hpp"
#include "meter/loudness_meter.hpp"
#include "stream_python/float_tuple.hpp"
#include "stream_python/loudness_result.hpp"
#include "stream_python/meter_arguments.hpp"
#include "stream_python/meter_block.hpp"

namespace zarn::python {
namespace {

static_assert(std::is_nothrow_move_constructible_v<zarn::meter::LoudnessMeter>);

// The Python LoudnessMeter object: it owns one meter by value and guards it
// with its access counter.
struct MeterObject {
    PyObject_HEAD
    zarn::meter::LoudnessMeter meter;
    BorrowFlag borrow_flag;
};

MeterObject& as_meter(PyObject* self) noexcept {
    return *reinterpret_cast<MeterObject*>(self);
}

// The leading signature line gives the class its __text_signature__.
constexpr const char* class_doc =
    "LoudnessMeter(sample_rate, channels, weights=None, reconstructed=False)\n"
    "--\n"
    "\n"
    "Loudness and true peak of a programme fed to it in blocks.\n"
    "\n"
    "Integrated loudness, loudness range, momentary and short-term maxima and the\n"
    "true peak after ITU-R BS.1770-4 and EBU Tech 3342, in constant memory; any\n"
    "division of a programme into blocks gives the same result.\n"
    "\n"
    "Args:\n"
    "    sample_rate: Sample rate in hertz, from 8000 to 4294967295.\n"
    "    channels: Number of channels, from 1 to 65535.\n"
    "    weights: One weight per channel, finite and non-negative. ``None`` weighs\n"
    "        5 channels as L R C Ls Rs, 6 as L R C LFE Ls Rs, 8 as L R C LFE Ls\n"
    "        Rs Lb Rb (fronts 1.0, surrounds 1.41, LFE 0) and any other count all\n"
    "        1.0.\n"
    "    reconstructed: Also measure ``reconstructed_peak_dBFS``, the peak of\n"
    "        the signal reconstructed at 32 points per sample, at extra cost.\n"
    "\n"
    "Raises:\n"
    "    ValueError: If a setting is invalid.";

constexpr std::array<const char*, 4> constructor_parameters = {"sample_rate", "channels",
                                                               "weights", "reconstructed"};
const FunctionDescription constructor_description = {"LoudnessMeter.__new__()",
                                                     constructor_parameters, 2};

// __new__: the only way an instance comes into existence.
PyObject* meter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return call_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        std::array<PyObject*, constructor_parameters.size()> slots{};
        if (!bind_arguments(constructor_description, args, kwargs, slots)) {
            return nullptr;
        }
        const DefaultFloatingPointEnvironment floating_point;
        std::optional<zarn::meter::LoudnessMeter> created =
            build_meter(slots[0], slots[1], slots[2], slots[3]);
        auto allocate = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        PyObject* object = created ? allocate(type, 0) : nullptr;
        if (object == nullptr) {
            return nullptr;
        }
        new (&as_meter(object).meter) zarn::meter::LoudnessMeter(std::move(*created));
        new (&as_meter(object).borrow_flag) BorrowFlag(0);
        return object;
    });
}

// Releases the meter, then the object memory, then the instance's
// reference to its heap type; none of it can throw.
void meter_dealloc(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    MeterObject& self = as_meter(object);
    self.borrow_flag.~BorrowFlag();
    self.meter.~LoudnessMeter();
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(object);
    _Py_DecRef(reinterpret_cast<PyObject*>(type));
}

// Runs `use` on the meter under a borrow (exclusive for a change), inside
// the boundary and in the default floating-point environment.
template <class Use>
PyObject* use_meter(PyObject* object, bool exclusive, Use&& use) {
    return call_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        MeterObject& self = as_meter(object);
        const Borrow borrow(self.borrow_flag, exclusive);
        if (!borrow) {
            return nullptr;
        }
        const DefaultFloatingPointEnvironment floating_point;
        return use(self.meter);
    });
}

constexpr const char* add_doc =
    "add($self, block)\n"
    "--\n"
    "\n"
    "Add the next block of the programme.\n"
    "\n"
    "Args:\n"
    "    block: A one-dimensional array for one channel or a two-dimensional\n"
    "        ``(frames, channels)`` array. Values are converted to\n"
    "        ``numpy.float32``; the input is not modified.\n"
    "\n"
    "Raises:\n"
    "    ValueError: If the block is not one- or two-dimensional, has another\n"
    "        channel count, or holds a non-finite sample; the exception of a\n"
    "        non-finite sample has its ``frame`` (counted from the start of the\n"
    "        programme) and ``channel`` as attributes. A refused block leaves\n"
    "        the meter as it was.";

constexpr std::array<const char*, 1> add_parameters = {"block"};
const FunctionDescription add_description = {"LoudnessMeter.add()", add_parameters, 1};

// Holds the meter while the block is converted too: converting can run
// Python code that reaches the meter again, and it is refused while held.
PyObject* meter_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
    return use_meter(self, true, [&](zarn::meter::LoudnessMeter& meter) -> PyObject* {
        std::array<PyObject*, add_parameters.size()> slots{};
        if (!bind_arguments(add_description, args, nargs, kwnames, slots)) {
            return nullptr;
        }
        return add_block(meter, slots[0]);
    });
}

constexpr const char* result_doc =
    "result($self)\n"
    "--\n"
    "\n"
    "The measures of everything added so far, as a Loudness; more blocks may\n"
    "follow.";

PyObject* meter_result(PyObject* self, PyObject*) {
    return use_meter(self, false, [](const zarn::meter::LoudnessMeter& meter) {
        const zarn::meter::Loudness loudness =
            without_interpreter_lock([&] { return meter.result(); });
        return new_loudness(loudness);
    });
}

// The read-only properties, one getter per setting.
PyObject* get_sample_rate(PyObject* object, void*) {
    return use_meter(object, false, [](const zarn::meter::LoudnessMeter& meter) {
        return PyLong_FromUnsignedLong(meter.sample_rate());
    });
}

PyObject* get_channels(PyObject* object, void*) {
    return use_meter(object, false, [](const zarn::meter::LoudnessMeter& meter) {
        return PyLong_FromSize_t(meter.channels());
    });
}

PyObject* get_weights(PyObject* object, void*) {
    return use_meter(object, false, [](const zarn::meter::LoudnessMeter& meter) {
        return float_tuple(meter.weights());
    });
}

PyObject* get_reconstructed(PyObject* object, void*) {
    return use_meter(object, false, [](const zarn::meter::LoudnessMeter& meter) {
        return PyBool_FromLong(meter.reconstructed() ? 1 : 0);
    });
}

// __repr__, also used by str(): the call that builds an equal meter.
PyObject* meter_repr(PyObject* object) {
    return use_meter(object, false, [](const zarn::meter::LoudnessMeter& meter) -> PyObject* {
        const PyRef weights = PyRef::steal(float_tuple(meter.weights()));
        if (!weights) {
            return nullptr;
        }
        return PyUnicode_FromFormat(
            "LoudnessMeter(sample_rate=%lu, channels=%zu, weights=%R, reconstructed=%s)",
            static_cast<unsigned long>(meter.sample_rate()), meter.channels(), weights.get(),
            meter.reconstructed() ? "True" : "False");
    });
}

PyMethodDef meter_methods[] = {
    {"add", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&meter_add)),
     METH_FASTCALL | METH_KEYWORDS, add_doc},
    {"result", &meter_result, METH_NOARGS, result_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef meter_properties[] = {
    {"sample_rate", get_sample_rate, nullptr, "int: Sample rate in hertz.", nullptr},
    {"channels", get_channels, nullptr, "int: Number of channels.", nullptr},
    {"weights", get_weights, nullptr, "tuple[float, ...]: Weight of each channel.", nullptr},
    {"reconstructed", get_reconstructed, nullptr,
     "bool: Whether the reconstructed peak is measured.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot meter_slots[] = {
    {Py_tp_doc, const_cast<char*>(class_doc)},
    {Py_tp_new, reinterpret_cast<void*>(&meter_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&meter_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(&meter_repr)},
    {Py_tp_methods, meter_methods},
    {Py_tp_getset, meter_properties},
    {0, nullptr},
};

// Final and immutable like ZarnLimiter, with neither an instance
// dictionary nor a weak-reference slot.
PyType_Spec meter_type_definition = {
    "zarn_limiter_stream.LoudnessMeter",
    static_cast<int>(sizeof(MeterObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    meter_slots,
};

}  // namespace

PyTypeObject* loudness_meter_type() {
    // Holds its reference for the life of the process, as ZarnLimiter's does.
    static OnceCell<PyTypeObject*> type;
    PyTypeObject** created = type.get_or_init([]() -> std::optional<PyTypeObject*> {
        PyObject* object = PyType_FromSpec(&meter_type_definition);
        return object ? std::optional(reinterpret_cast<PyTypeObject*>(object)) : std::nullopt;
    });
    return created ? *created : nullptr;
}

}  // namespace zarn::python

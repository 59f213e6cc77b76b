#include "stream_python/sample_coding_functions.hpp"

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

#include "binding/argument_binder.hpp"
#include "binding/byte_buffer.hpp"
#include "binding/call_boundary.hpp"
#include "binding/float_buffer.hpp"
#include "binding/floating_point_environment.hpp"
#include "binding/lock_release.hpp"
#include "samples/sample_coding.hpp"

namespace zarn::python {
namespace {

// The text of a str argument, or nullopt with TypeError set.
std::optional<std::string_view> text_of(PyObject* object, const char* name) {
    Py_ssize_t length = 0;
    const char* text = PyUnicode_Check(object) ? PyUnicode_AsUTF8AndSize(object, &length) : nullptr;
    if (text == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_TypeError, "%s must be a str, got %R", name,
                         reinterpret_cast<PyObject*>(Py_TYPE(object)));
        }
        return std::nullopt;
    }
    return std::string_view(text, static_cast<std::size_t>(length));
}

std::optional<SampleEncoding> convert_encoding(PyObject* type_name, PyObject* order_name) {
    const std::optional<std::string_view> type_text = text_of(type_name, "sample_type");
    if (!type_text) {
        return std::nullopt;
    }
    const std::optional<SampleType> type = sample_type_named(*type_text);
    if (!type) {
        PyErr_Format(PyExc_ValueError,
                     "sample_type must be 'int16', 'int24', 'int32', 'float32' or 'float64', "
                     "got %R", type_name);
        return std::nullopt;
    }
    const std::optional<std::string_view> order_text = text_of(order_name, "byteorder");
    if (!order_text) {
        return std::nullopt;
    }
    if (*order_text != "little" && *order_text != "big") {
        PyErr_Format(PyExc_ValueError, "byteorder must be 'little' or 'big', got %R", order_name);
        return std::nullopt;
    }
    return SampleEncoding{*type, *order_text == "little" ? ByteOrder::little : ByteOrder::big};
}

// Whether the bytes match the samples exactly and the two buffers are
// apart; ValueError set where not. `bytes_name` names the bytes' argument.
bool check_extents(const ByteBuffer& bytes, const FloatBuffer& samples, SampleEncoding encoding,
                   PyObject* type_name, const char* bytes_name) {
    const std::size_t needed = samples.samples() * encoding.width();
    if (bytes.size() != needed) {
        PyErr_Format(PyExc_ValueError, "%s must hold the %zu bytes of %zu %U samples, not %zu",
                     bytes_name, needed, samples.samples(), type_name, bytes.size());
        return false;
    }
    if (buffers_overlap(bytes.view(), samples.view())) {
        PyErr_SetString(PyExc_ValueError, "the samples and the bytes must not share memory");
        return false;
    }
    return true;
}

enum class Direction { decode, encode };

// Both calls: the first argument is what is coded, the second where it goes,
// then the type and the byte order; checked in that order before anything
// is written.
PyObject* code(Direction direction, const FunctionDescription& description,
               PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        std::array<PyObject*, 4> slots{};
        if (!bind_arguments(description, args, nargs, kwnames, slots)) {
            return nullptr;
        }
        const std::optional<SampleEncoding> encoding = convert_encoding(slots[2], slots[3]);
        if (!encoding) {
            return nullptr;
        }
        const bool decoding = direction == Direction::decode;
        const ByteBuffer bytes(slots[decoding ? 0 : 1], decoding ? "data" : "out", !decoding);
        if (!bytes.ok()) {
            return nullptr;
        }
        const FloatBuffer samples(slots[decoding ? 1 : 0], decoding ? "out" : "samples", decoding);
        if (!samples.ok() || !check_extents(bytes, samples, *encoding, slots[2],
                                            decoding ? "data" : "out")) {
            return nullptr;
        }
        const DefaultFloatingPointEnvironment floating_point;
        without_interpreter_lock([&] {
            if (decoding) {
                decode_samples(*encoding, bytes.data(), samples.samples(), samples.data());
            } else {
                encode_samples(*encoding, samples.data(), samples.samples(), bytes.data());
            }
            return true;
        });
        Py_RETURN_NONE;
    });
}

constexpr std::array<const char*, 4> decode_parameters = {"data", "out", "sample_type",
                                                          "byteorder"};
const FunctionDescription decode_description = {"decode_samples()", decode_parameters, 4};

constexpr const char* decode_doc =
    "decode_samples(data, out, sample_type, byteorder)\n"
    "--\n"
    "\n"
    "Turn samples as a file stores them into float32 values.\n"
    "\n"
    "Integers become themselves over full scale (2 ** (bits - 1)), rounded to\n"
    "float32 where they have more than 24 bits; float64 values are rounded to\n"
    "float32; float32 values are copied as they are.\n"
    "\n"
    "Args:\n"
    "    data: The stored samples: a C-contiguous bytes-like object.\n"
    "    out: A writable C-contiguous float32 array, one value per sample of\n"
    "        ``data`` (interleaved frames for ``(frames, channels)``).\n"
    "    sample_type: ``'int16'``, ``'int24'``, ``'int32'``, ``'float32'`` or\n"
    "        ``'float64'``.\n"
    "    byteorder: ``'little'`` or ``'big'``.\n"
    "\n"
    "Raises:\n"
    "    ValueError: If ``data`` does not hold exactly the samples of ``out``,\n"
    "        or the two share memory.";

PyObject* decode(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return code(Direction::decode, decode_description, args, nargs, kwnames);
}

constexpr std::array<const char*, 4> encode_parameters = {"samples", "out", "sample_type",
                                                          "byteorder"};
const FunctionDescription encode_description = {"encode_samples()", encode_parameters, 4};

constexpr const char* encode_doc =
    "encode_samples(samples, out, sample_type, byteorder)\n"
    "--\n"
    "\n"
    "Turn float32 values into samples as a file stores them.\n"
    "\n"
    "For an integer type, each value times 2 ** 31 is rounded to the nearest\n"
    "integer (ties to even) and clipped to 32 bits, and its upper bits are\n"
    "stored: values are clipped to full scale, and a NaN is stored as the most\n"
    "negative integer. float32 values are stored as they are, float64 exactly.\n"
    "\n"
    "Args:\n"
    "    samples: A C-contiguous float32 array (interleaved frames for\n"
    "        ``(frames, channels)``).\n"
    "    out: A writable C-contiguous bytes-like object with room for exactly\n"
    "        the samples.\n"
    "    sample_type: ``'int16'``, ``'int24'``, ``'int32'``, ``'float32'`` or\n"
    "        ``'float64'``.\n"
    "    byteorder: ``'little'`` or ``'big'``.\n"
    "\n"
    "Raises:\n"
    "    ValueError: If ``out`` does not hold exactly the bytes of the samples,\n"
    "        or the two share memory.";

PyObject* encode(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return code(Direction::encode, encode_description, args, nargs, kwnames);
}

}  // namespace

PyMethodDef sample_coding_functions[] = {
    {"decode_samples", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&decode)),
     METH_FASTCALL | METH_KEYWORDS, decode_doc},
    {"encode_samples", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&encode)),
     METH_FASTCALL | METH_KEYWORDS, encode_doc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace zarn::python

#include "stream_python/stream_limiter_class.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "lib/number_text.hpp"
#include "binding/argument_binder.hpp"
#include "binding/argument_conversion.hpp"
#include "binding/count_argument.hpp"
#include "binding/audio_conversion.hpp"
#include "binding/borrow_guard.hpp"
#include "binding/call_boundary.hpp"
#include "binding/channel_major_copy.hpp"
#include "binding/error_texts.hpp"
#include "binding/float_buffer.hpp"
#include "binding/floating_point_environment.hpp"
#include "binding/lock_release.hpp"
#include "binding/numpy_api.hpp"
#include "binding/once_cell.hpp"
#include "binding/process_wide_type.hpp"
#include "binding/py_ref.hpp"
#include "binding/sample_array.hpp"
#include "stream/stream_limiter.hpp"
#include "stream_python/block_layout.hpp"
#include "stream_python/stream_errors.hpp"

namespace zarn::python {
namespace {

// The Python StreamLimiter object: the stream by value, its access counter,
// and the rank of the last block it took, which its flush returns too.
struct StreamObject {
    PyObject_HEAD
    zarn::StreamLimiter stream;
    BorrowFlag borrow_flag;
    int rank;
};

StreamObject& as_stream(PyObject* self) noexcept {
    return *reinterpret_cast<StreamObject*>(self);
}

constexpr const char* class_doc =
    "StreamLimiter(sample_rate, channels, threshold_dBFS=0.0, attack_ms=5.0, hold_ms=15.0, "
    "release_ms=40.0)\n"
    "--\n"
    "\n"
    "The look-ahead brick-wall limiter over a stream that arrives block by block.\n"
    "\n"
    "The blocks' outputs, concatenated with the final ``flush()``, are those of\n"
    "``zarn_limiter.limit`` on the whole stream with ``axis=0``, bit for bit.\n"
    "Each ``process`` returns the frames complete so far, ``latency`` frames\n"
    "behind the input.\n"
    "\n"
    "Args:\n"
    "    sample_rate: Sample rate in hertz. Must be a positive 32-bit integer.\n"
    "    channels: Channels of every block, at least 1.\n"
    "    threshold_dBFS: Output ceiling in dBFS. Must be finite and at most ``0.0``.\n"
    "    attack_ms: Look-ahead attack time in milliseconds. It must round to at\n"
    "        least one sample at ``sample_rate``.\n"
    "    hold_ms: Hold time in milliseconds. May be zero.\n"
    "    release_ms: Release time in milliseconds. May be zero.\n"
    "\n"
    "Raises:\n"
    "    ValueError: If any configuration value is invalid.";

constexpr std::array<const char*, 6> constructor_parameters = {
    "sample_rate", "channels", "threshold_dBFS", "attack_ms", "hold_ms", "release_ms"};
const FunctionDescription constructor_description = {"StreamLimiter.__new__()",
                                                     constructor_parameters, 2};

// __new__: the settings are checked as ZarnLimiter checks them (the floats
// first), then the channel count.
PyObject* stream_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return call_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        std::array<PyObject*, constructor_parameters.size()> slots{};
        if (!bind_arguments(constructor_description, args, kwargs, slots)) {
            return nullptr;
        }
        const DefaultFloatingPointEnvironment floating_point;
        const std::optional<LimiterSettings> settings =
            convert_settings(std::span(slots).subspan(2));
        if (!settings) {
            return nullptr;
        }
        std::optional<zarn::Limiter> limiter = build_limiter(slots[0], *settings);
        if (!limiter) {
            return nullptr;
        }
        const std::optional<std::size_t> channels = convert_channels(slots[1]);
        auto allocate = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        PyObject* object = channels ? allocate(type, 0) : nullptr;
        if (object == nullptr) {
            return nullptr;
        }
        StreamObject& self = as_stream(object);
        new (&self.stream) zarn::StreamLimiter(std::move(*limiter), *channels);
        new (&self.borrow_flag) BorrowFlag(0);
        self.rank = *channels == 1 ? 1 : 2;
        return object;
    });
}

void stream_dealloc(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    StreamObject& self = as_stream(object);
    self.borrow_flag.~BorrowFlag();
    self.stream.~StreamLimiter();
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(object);
    _Py_DecRef(reinterpret_cast<PyObject*>(type));
}

// Where the frames handed back go: the caller's `out` pair, or new arrays.
struct Destination {
    std::optional<FloatBuffer> audio;
    std::optional<FloatBuffer> gains;
    PyRef audio_object;
    PyRef gains_object;
};

// Checks a caller's `out=(audio, gains)` against the `frames` frames of
// `rank` and `channels` that the call hands back, before anything changes.
bool lend_destination(PyObject* out, int rank, std::size_t channels, std::size_t frames,
                      Destination& destination) {
    if (out == nullptr || out == Py_None) {
        return true;
    }
    if (!PyTuple_Check(out) || PyTuple_Size(out) != 2) {
        PyErr_SetString(PyExc_TypeError, stream_errors::out_not_a_pair);
        return false;
    }
    destination.audio_object = PyRef::borrow(PyTuple_GetItem(out, 0));
    destination.gains_object = PyRef::borrow(PyTuple_GetItem(out, 1));
    destination.audio.emplace(destination.audio_object.get(), "out[0]");
    if (!destination.audio->ok()) {
        return false;
    }
    destination.gains.emplace(destination.gains_object.get(), "out[1]");
    if (!destination.gains->ok()) {
        return false;
    }
    // The gains would overwrite audio already written, or the other way round.
    if (destination.audio->shares_memory_with(*destination.gains)) {
        PyErr_SetString(PyExc_ValueError, stream_errors::out_shares_memory);
        return false;
    }
    return check_out_shapes(*destination.audio, *destination.gains, rank, channels, frames);
}

// The frames handed back, written where they go: interleaved into the
// audio, their gains beside.
void write_frames(const zarn::LimitedFrames& frames, std::size_t channels, float* audio,
                  float* gains) {
    interleave_channels(frames.samples, frames.stride, channels, frames.frames, audio);
    if (frames.frames > 0) {
        std::memcpy(gains, frames.gains, frames.frames * sizeof(float));
    }
}

// The first `frames` entries of a lent array, as the caller's own type
// gives them (out[0][:frames]).
PyRef leading(PyObject* array, std::size_t frames) {
    const PyRef end = PyRef::steal(PyLong_FromSize_t(frames));
    const PyRef slice = end ? PyRef::steal(PySlice_New(nullptr, end.get(), nullptr)) : PyRef();
    return slice ? PyRef::steal(PyObject_GetItem(array, slice.get())) : PyRef();
}

// Runs `step` (a push or the finish, which hands back `frames` frames)
// without the interpreter lock, writes the frames to the destination and
// returns the tuple (audio, gains) of `rank`, or null with the exception
// set. New arrays are allocated before the step, so that a stream never
// moves on without handing its frames back; the rank that flush returns is
// the last taken block's, so a refused block leaves it as it was.
template <class Step>
PyObject* hand_back(StreamObject& self, Destination& destination, int rank, std::size_t frames,
                    Step&& step) {
    const std::size_t channels = self.stream.channels();
    SampleBuffer audio_samples;
    SampleBuffer gain_samples;
    float* audio = nullptr;
    float* gains = nullptr;
    if (destination.audio) {
        audio = destination.audio->data();
        gains = destination.gains->data();
    } else {
        audio_samples = output_buffer(channels, frames);
        gain_samples = output_buffer(1, frames);
        audio = audio_samples.data();
        gains = gain_samples.data();
    }
    auto limited = without_interpreter_lock([&] {
        auto handed = step();
        if (handed) {
            write_frames(*handed, channels, audio, gains);
        }
        return handed;
    });
    if (!limited) {
        raise_stream_error(limited.error());
        return nullptr;
    }
    self.rank = rank;
    if (!destination.audio) {
        return new_result_arrays(std::move(audio_samples), std::move(gain_samples), rank,
                                 channels);
    }
    const PyRef audio_part = leading(destination.audio_object.get(), frames);
    const PyRef gains_part = audio_part ? leading(destination.gains_object.get(), frames) : PyRef();
    return gains_part ? PyTuple_Pack(2, audio_part.get(), gains_part.get()) : nullptr;
}

// A method of the stream: its arguments bound by `description`, in the
// default floating-point environment, with the stream borrowed for the
// whole call, so that a call from inside a callback is refused.
template <std::size_t Count, class Body>
PyObject* stream_method(PyObject* object, const FunctionDescription& description,
                        PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Body&& body) {
    return call_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        std::array<PyObject*, Count> slots{};
        if (!bind_arguments(description, args, nargs, kwnames, slots)) {
            return nullptr;
        }
        const DefaultFloatingPointEnvironment floating_point;
        StreamObject& self = as_stream(object);
        const Borrow borrow(self.borrow_flag, true);
        if (!borrow) {
            return nullptr;
        }
        return body(self, std::span<PyObject* const>(slots));
    });
}

constexpr const char* process_doc =
    "process($self, block, out=None)\n"
    "--\n"
    "\n"
    "Limit the next block of the stream.\n"
    "\n"
    "Args:\n"
    "    block: ``(frames, channels)``, or one-dimensional for one channel. Values\n"
    "        are converted to ``numpy.float32``; the block is not modified.\n"
    "    out: ``None``, or a pair ``(audio, gains)`` of writable C-contiguous\n"
    "        float32 arrays that share no memory, of the block's rank, with room\n"
    "        for the frames this call returns (at most the block's frames plus\n"
    "        ``latency``).\n"
    "\n"
    "Returns:\n"
    "    A tuple ``(audio, frame_gains)`` of the frames complete so far: new\n"
    "    ``numpy.float32`` arrays, or the leading part of the ``out`` arrays.\n"
    "\n"
    "Raises:\n"
    "    ValueError: If the block has another channel count or a sample that is\n"
    "        not finite (with the ``frame`` and ``channel`` of that sample,\n"
    "        counted from the start of the stream); the stream is then left as\n"
    "        it was.";

constexpr std::array<const char*, 2> process_parameters = {"block", "out"};
const FunctionDescription process_description = {"StreamLimiter.process()", process_parameters,
                                                 1};

PyObject* stream_process(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    return stream_method<process_parameters.size()>(
        object, process_description, args, nargs, kwnames,
        [&](StreamObject& self, std::span<PyObject* const> slots) -> PyObject* {
            AudioInput input = extract_audio(slots[0], "block");
            if (!input.array) {
                return nullptr;
            }
            const std::optional<BlockLayout> layout =
                read_block_layout(input.array.get(), self.stream.channels());
            if (!layout) {
                return nullptr;
            }
            const std::size_t completed = self.stream.completed_by(layout->frames);
            Destination destination;
            if (!lend_destination(slots[1], layout->rank, self.stream.channels(), completed,
                                  destination)) {
                return nullptr;
            }
            const zarn::ChannelRows rows = describing_shortage(
                [&] { return self.stream.input_rows(layout->frames); },
                [&] {
                    return error_texts::buffer_samples(self.stream.channels(), layout->frames);
                });
            gather_channel_major(layout->first, self.stream.channels(), layout->frames,
                                 layout->channel_stride, layout->frame_stride, rows.first,
                                 rows.stride);
            input = AudioInput();
            return hand_back(self, destination, layout->rank, completed,
                             [&] { return self.stream.push(layout->frames); });
        });
}

constexpr const char* flush_doc =
    "flush($self, out=None)\n"
    "--\n"
    "\n"
    "End the stream: return the frames still held back, limited as its end.\n"
    "\n"
    "The next block starts a new stream.\n"
    "\n"
    "Args:\n"
    "    out: ``None``, or a pair ``(audio, gains)`` as for ``process``, with room\n"
    "        for ``latency`` frames.\n"
    "\n"
    "Returns:\n"
    "    A tuple ``(audio, frame_gains)``, of the rank of the last block taken.";

constexpr std::array<const char*, 1> flush_parameters = {"out"};
const FunctionDescription flush_description = {"StreamLimiter.flush()", flush_parameters, 0};

PyObject* stream_flush(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    return stream_method<flush_parameters.size()>(
        object, flush_description, args, nargs, kwnames,
        [&](StreamObject& self, std::span<PyObject* const> slots) -> PyObject* {
            const std::size_t held = self.stream.held();
            Destination destination;
            if (!lend_destination(slots[0], self.rank, self.stream.channels(), held, destination)) {
                return nullptr;
            }
            return hand_back(self, destination, self.rank, held, [&] {
                using Finished = zarn::Expected<zarn::LimitedFrames, zarn::LimiterError>;
                return Finished(self.stream.finish());
            });
        });
}

// A read-only property of the stream, under a shared borrow.
template <class Read>
PyObject* read_stream(PyObject* object, Read&& read) {
    return call_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        StreamObject& self = as_stream(object);
        const Borrow borrow(self.borrow_flag, false);
        if (!borrow) {
            return nullptr;
        }
        return read(self.stream);
    });
}

PyObject* get_latency(PyObject* object, void*) {
    return read_stream(object, [](const zarn::StreamLimiter& stream) {
        return PyLong_FromUnsignedLongLong(stream.limiter().lookahead_samples);
    });
}

PyObject* get_channels(PyObject* object, void*) {
    return read_stream(object, [](const zarn::StreamLimiter& stream) {
        return PyLong_FromSize_t(stream.channels());
    });
}

PyObject* get_sample_rate(PyObject* object, void*) {
    return read_stream(object, [](const zarn::StreamLimiter& stream) {
        return PyLong_FromUnsignedLong(stream.limiter().sample_rate);
    });
}

PyObject* get_threshold_dBFS(PyObject* object, void*) {
    return read_stream(object, [](const zarn::StreamLimiter& stream) {
        return PyFloat_FromDouble(stream.limiter().threshold_dBFS);
    });
}

PyObject* stream_repr(PyObject* object) {
    return read_stream(object, [](const zarn::StreamLimiter& stream) {
        const zarn::Limiter& limiter = stream.limiter();
        const std::string text =
            "StreamLimiter(sample_rate=" + zarn::render_unsigned(limiter.sample_rate) +
            ", channels=" + zarn::render_unsigned(stream.channels()) +
            ", threshold_dBFS=" + zarn::render_double(limiter.threshold_dBFS) +
            ", latency=" + zarn::render_unsigned(limiter.lookahead_samples) + ")";
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

PyMethodDef stream_methods[] = {
    {"process", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&stream_process)),
     METH_FASTCALL | METH_KEYWORDS, process_doc},
    {"flush", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&stream_flush)),
     METH_FASTCALL | METH_KEYWORDS, flush_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef stream_properties[] = {
    {"latency", get_latency, nullptr,
     "int: Frames held back: the look-ahead in samples.", nullptr},
    {"channels", get_channels, nullptr, "int: Channels of every block.", nullptr},
    {"sample_rate", get_sample_rate, nullptr, "int: Sample rate in hertz.", nullptr},
    {"threshold_dBFS", get_threshold_dBFS, nullptr, "float: Output ceiling in dBFS.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot stream_slots[] = {
    {Py_tp_doc, const_cast<char*>(class_doc)},
    {Py_tp_new, reinterpret_cast<void*>(&stream_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&stream_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(&stream_repr)},
    {Py_tp_methods, stream_methods},
    {Py_tp_getset, stream_properties},
    {0, nullptr},
};

// Final and immutable, like ZarnLimiter.
PyType_Spec stream_type_definition = {
    "zarn_limiter_stream.StreamLimiter",
    static_cast<int>(sizeof(StreamObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    stream_slots,
};

}  // namespace

PyTypeObject* stream_limiter_type() {
    static OnceCell<PyTypeObject*> type;
    return process_wide_type(type, stream_type_definition);
}

}  // namespace zarn::python

#include "stream_python/loudness_result.hpp"

#include <optional>

#include "binding/once_cell.hpp"
#include "binding/py_ref.hpp"
#include "stream_python/float_tuple.hpp"

namespace zarn::python {

namespace {

// The fields in the order of the tuple; the docs become the properties'.
PyStructSequence_Field loudness_fields[] = {
    {"integrated_LUFS", "float: Gated integrated loudness in LUFS."},
    {"loudness_range_LU", "float: Loudness range in LU."},
    {"momentary_max_LUFS", "float: Largest loudness over 400 ms in LUFS."},
    {"short_term_max_LUFS", "float: Largest loudness over 3 s in LUFS."},
    {"true_peak_dBTP", "float: Largest true peak of the channels in dBTP."},
    {"channel_true_peaks_dBTP", "tuple[float, ...]: True peak of each channel in dBTP."},
    {"sample_peak_dBFS", "float: Largest sample magnitude in dBFS."},
    {"reconstructed_peak_dBFS",
     "float | None: Peak of the reconstructed signal in dBFS; None unless the meter was "
     "built with reconstructed=True."},
    {nullptr, nullptr},
};

constexpr const char* loudness_doc =
    "The measures of a LoudnessMeter: a named tuple of floats (and the tuple of the\n"
    "channels' true peaks). A measure that needs more programme than there was, or that\n"
    "silence leaves without a level, is -inf.";

PyStructSequence_Desc loudness_description = {
    "zarn_limiter_stream.Loudness",
    loudness_doc,
    loudness_fields,
    8,
};

// A float, or None when absent; a new reference, null on failure.
PyObject* optional_float(const std::optional<double>& value) {
    return value ? PyFloat_FromDouble(*value) : PyRef::borrow(Py_None).release();
}

}  // namespace

PyTypeObject* loudness_type() {
    // Holds its reference for the life of the process, as the other types do.
    static OnceCell<PyTypeObject*> type;
    PyTypeObject** created = type.get_or_init([]() -> std::optional<PyTypeObject*> {
        PyTypeObject* object = PyStructSequence_NewType(&loudness_description);
        return object ? std::optional(object) : std::nullopt;
    });
    return created ? *created : nullptr;
}

PyObject* new_loudness(const zarn::meter::Loudness& loudness) {
    PyTypeObject* type = loudness_type();
    PyRef result = PyRef::steal(type ? PyStructSequence_New(type) : nullptr);
    if (!result) {
        return nullptr;
    }
    PyObject* items[] = {
        PyFloat_FromDouble(loudness.integrated_LUFS),
        PyFloat_FromDouble(loudness.loudness_range_LU),
        PyFloat_FromDouble(loudness.momentary_max_LUFS),
        PyFloat_FromDouble(loudness.short_term_max_LUFS),
        PyFloat_FromDouble(loudness.true_peak_dBTP),
        float_tuple(loudness.channel_true_peaks_dBTP),
        PyFloat_FromDouble(loudness.sample_peak_dBFS),
        optional_float(loudness.reconstructed_peak_dBFS),
    };
    // The sequence takes over each item, so all are handed over before a
    // failure is reported.
    bool complete = true;
    for (Py_ssize_t i = 0; i < static_cast<Py_ssize_t>(std::size(items)); ++i) {
        complete = complete && items[i] != nullptr;
        PyStructSequence_SetItem(result.get(), i, items[i]);
    }
    return complete ? result.release() : nullptr;
}

}  // namespace zarn::python

#include "binding/argument_conversion.hpp"

#include <array>
#include <utility>

#include "binding/call_boundary.hpp"
#include "binding/error_texts.hpp"
#include "binding/python_exception.hpp"
#include "binding/count_argument.hpp"

namespace zarn::python {

namespace {

// The float settings in the order of their parameters.
constexpr std::array<std::pair<const char*, double LimiterSettings::*>, 4> float_settings = {{
    {"threshold_dBFS", &LimiterSettings::threshold_dBFS},
    {"attack_ms", &LimiterSettings::attack_ms},
    {"hold_ms", &LimiterSettings::hold_ms},
    {"release_ms", &LimiterSettings::release_ms},
}};

}  // namespace

std::optional<LimiterSettings> convert_settings(std::span<PyObject* const> arguments) {
    LimiterSettings settings;
    for (std::size_t i = 0; i < float_settings.size(); ++i) {
        const auto [name, field] = float_settings[i];
        if (arguments[i] == nullptr) {
            continue;
        }
        const double converted = PyFloat_AsDouble(arguments[i]);
        // -1.0 is also a valid value; only a pending exception marks a failure.
        if (converted == -1.0 && PyErr_Occurred() != nullptr) {
            add_argument_note(name);
            return std::nullopt;
        }
        settings.*field = converted;
    }
    return settings;
}

std::optional<zarn::Limiter> build_limiter(PyObject* sample_rate,
                                           const LimiterSettings& settings) {
    const std::optional<std::uint32_t> rate = convert_sample_rate(sample_rate);
    if (!rate) {
        return std::nullopt;
    }
    auto limiter = describing_shortage(
        [&] { return zarn::Limiter::create(*rate, settings); },
        [&] { return error_texts::lookahead_storage(settings.attack_ms, settings.hold_ms, *rate); });
    if (!limiter) {
        PyErr_SetString(PyExc_ValueError, limiter.error().message().c_str());
        return std::nullopt;
    }
    return std::move(*limiter);
}

std::optional<std::int64_t> convert_axis(PyObject* value) {
    if (value == nullptr) {
        return -1;
    }
    // long long, not long: long is 32 bits on Windows, and the axis has the
    // same 64-bit range on every platform.
    const long long converted = PyLong_AsLongLong(value);
    if (converted == -1 && PyErr_Occurred() != nullptr) {
        add_argument_note("axis");
        return std::nullopt;
    }
    return converted;
}

}  // namespace zarn::python

#include "python/audio_call.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "binding/audio_conversion.hpp"
#include "binding/floating_point_environment.hpp"
#include "binding/py_ref.hpp"
#include "binding/argument_conversion.hpp"
#include "python/array_marshalling.hpp"

namespace zarn::python {

namespace {

// limit(audio, sample_rate, threshold_dBFS, attack_ms, hold_ms, release_ms,
// axis) has the most parameters.
constexpr std::size_t most_parameters = 7;
constexpr std::size_t sample_rate_slot = 1;
constexpr std::size_t first_setting_slot = 2;
constexpr std::size_t setting_count = 4;

}  // namespace

PyObject* limit_audio(const FunctionDescription& description, LimiterOfCall target,
                      PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, most_parameters> storage{};
    const std::span<PyObject*> slots(storage.data(), description.parameters.size());
    if (!bind_arguments(description, args, nargs, kwnames, slots)) {
        return nullptr;
    }
    const DefaultFloatingPointEnvironment floating_point;
    // Held until the result exists; converting `audio` can run Python code
    // that reaches the object again, and it is refused while held.
    std::optional<Borrow> borrow;
    if (target.borrow_flag != nullptr && !borrow.emplace(*target.borrow_flag, true)) {
        return nullptr;
    }
    AudioInput input = extract_audio(slots.front());
    if (!input.array) {
        return nullptr;
    }
    std::optional<LimiterSettings> settings;
    if (target.limiter == nullptr &&
        !(settings = convert_settings(slots.subspan(first_setting_slot, setting_count)))) {
        return nullptr;
    }
    const std::optional<std::int64_t> axis = convert_axis(slots.back());
    if (!axis) {
        return nullptr;
    }
    // sample_rate last, although it is the second parameter of limit.
    std::optional<zarn::Limiter> built;
    if (target.limiter == nullptr &&
        !(built = build_limiter(slots[sample_rate_slot], *settings))) {
        return nullptr;
    }
    return limit_array(built ? *built : *target.limiter, std::move(input), *axis);
}

}  // namespace zarn::python

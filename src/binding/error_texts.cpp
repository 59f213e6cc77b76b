#include "binding/error_texts.hpp"

#include "lib/number_text.hpp"

namespace zarn::python::error_texts {

namespace {

std::string could_not_allocate(const std::string& what) {
    return "could not allocate " + what;
}

std::string count_of(std::uint64_t count, const char* singular, const char* plural) {
    return zarn::render_unsigned(count) + " " + (count == 1 ? singular : plural);
}

}  // namespace

std::string invalid_rank(int rank) {
    return "audio must be a 1D or 2D array, got " + std::to_string(rank) + " dimensions";
}

std::string invalid_axis(std::int64_t axis, unsigned rank) {
    return "axis=" + std::to_string(axis) + " is invalid for a " + std::to_string(rank) +
           "D array";
}

std::string lookahead_storage(double attack_ms, double hold_ms, std::uint32_t sample_rate) {
    return could_not_allocate("the look-ahead storage for attack_ms=" +
                              zarn::render_double(attack_ms) +
                              " and hold_ms=" + zarn::render_double(hold_ms) + " at " +
                              zarn::render_unsigned(sample_rate) +
                              " Hz; shorter attack_ms or hold_ms need less");
}

std::string cast_samples(std::span<const Py_ssize_t> shape) {
    std::string extents;
    std::uint64_t count = 1;
    for (const Py_ssize_t extent : shape) {
        extents += (extents.empty() ? "" : ", ") +
                   zarn::render_unsigned(static_cast<std::uint64_t>(extent));
        count *= static_cast<std::uint64_t>(extent);
    }
    // As Python writes a tuple: "(n,)" or "(n, m)".
    extents += shape.size() == 1 ? "," : "";
    return could_not_allocate(count_of(count, "sample", "samples") +
                              " to convert audio of shape (" + extents + ") to float32");
}

std::string buffer_samples(std::size_t channels, std::size_t frames) {
    return could_not_allocate(
        count_of(static_cast<std::uint64_t>(channels) * frames, "sample", "samples") +
        " for audio of " + count_of(channels, "channel", "channels") + " and " +
        count_of(frames, "frame", "frames"));
}

std::string frame_gains(std::size_t frames) {
    return could_not_allocate("the frame gains of audio of " +
                              count_of(frames, "frame", "frames"));
}

std::string sequence_samples(std::size_t items) {
    return could_not_allocate("the samples of a sequence of more than " +
                              count_of(items, "item", "items"));
}

}  // namespace zarn::python::error_texts

// Times the limiter core's processing pass on music-like float32 buffers,
// loud (about a quarter of the frames above the ceiling) and quiet (half the
// ceiling), in mono and stereo, and prints the median nanoseconds per frame.
//
//     core_pass [frames] [runs] [only]
//
// With `only` (for example "stereo loud") just that case runs, which suits
// counting its instructions under callgrind.
// Each run limits a fresh copy of the input (the copy is not timed); the
// time covers validation, peaks, envelope, gain application and the
// allocation of the frame gains.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "lib/sample_buffer.hpp"
#include "lib/limiter.hpp"

namespace {

constexpr std::uint32_t sample_rate = 48000;
constexpr double ceiling_dBFS = -1.0;

// A chord, a bass line and drum-like bursts every half second, slightly
// different per channel; channel-major.
std::vector<double> music_like(std::size_t frames, std::size_t channels) {
    std::mt19937_64 random(1);
    std::normal_distribution<double> noise;
    std::uniform_real_distribution<double> phase(0.0, 2.0 * std::numbers::pi);
    std::vector<double> out(frames * channels);
    constexpr double tau = 2.0 * std::numbers::pi;
    for (std::size_t c = 0; c < channels; ++c) {
        const double detune = 1.0 + 0.002 * static_cast<double>(c);
        const double phases[4] = {phase(random), phase(random), phase(random), phase(random)};
        for (std::size_t t = 0; t < frames; ++t) {
            const double time = static_cast<double>(t) / sample_rate;
            const double beat = std::fmod(time, 0.5);
            const double kick = std::exp(-25.0 * beat) * std::sin(tau * 55.0 * time);
            const double snare = std::exp(-40.0 * std::fmod(time + 0.25, 0.5));
            const double chord = 0.30 * std::sin(tau * 220.0 * detune * time + phases[0]) +
                                 0.22 * std::sin(tau * 277.2 * detune * time + phases[1]) +
                                 0.20 * std::sin(tau * 329.6 * detune * time + phases[2]) +
                                 0.35 * std::sin(tau * 110.0 * detune * time + phases[3]);
            const double swell = 0.75 + 0.25 * std::sin(tau * 0.07 * time + static_cast<double>(c));
            out[c * frames + t] = swell * chord + (0.9 + 0.1 * static_cast<double>(c % 2)) * kick +
                                  0.35 * snare * noise(random);
        }
    }
    return out;
}

// Scales to the loud or quiet level and rounds to float32.
std::vector<float> scaled(const std::vector<double>& signal, std::size_t channels, bool loud) {
    const std::size_t frames = signal.size() / channels;
    std::vector<double> peaks(frames, 0.0);
    for (std::size_t c = 0; c < channels; ++c) {
        for (std::size_t t = 0; t < frames; ++t) {
            peaks[t] = std::max(peaks[t], std::fabs(signal[c * frames + t]));
        }
    }
    const double ceiling = std::pow(10.0, ceiling_dBFS / 20.0);
    double gain = 0.0;
    if (loud) {
        std::vector<double> sorted = peaks;
        std::nth_element(sorted.begin(), sorted.begin() + frames * 3 / 4, sorted.end());
        gain = ceiling / sorted[frames * 3 / 4];
    } else {
        gain = 0.5 * ceiling / *std::max_element(peaks.begin(), peaks.end());
    }
    std::vector<float> out(signal.size());
    for (std::size_t i = 0; i < signal.size(); ++i) {
        out[i] = static_cast<float>(signal[i] * gain);
    }
    return out;
}

double median_ns_per_frame(const std::vector<float>& input, std::size_t channels, int runs) {
    zarn::Limiter limiter = *zarn::Limiter::create(sample_rate, {ceiling_dBFS});
    zarn::SampleBuffer samples(input.size());
    std::vector<double> times;
    for (int run = 0; run < runs; ++run) {
        std::copy(input.begin(), input.end(), samples.data());
        const auto start = std::chrono::steady_clock::now();
        const auto gains = limiter.process(samples.span(), channels);
        const auto stop = std::chrono::steady_clock::now();
        if (!gains) {
            std::fprintf(stderr, "%s\n", gains.error().message().c_str());
            std::exit(1);
        }
        times.push_back(std::chrono::duration<double, std::nano>(stop - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2] / static_cast<double>(input.size() / channels);
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t frames = argc > 1 ? std::stoull(argv[1]) : 10'000'000;
    const int runs = argc > 2 ? std::stoi(argv[2]) : 7;
    const std::string only = argc > 3 ? argv[3] : "";
    for (const std::size_t channels : {std::size_t{2}, std::size_t{1}}) {
        const std::vector<double> signal = music_like(frames, channels);
        for (const bool loud : {true, false}) {
            const std::string name =
                std::string(channels == 2 ? "stereo" : "mono") + (loud ? " loud" : " quiet");
            if (!only.empty() && name != only) {
                continue;
            }
            const std::vector<float> input = scaled(signal, channels, loud);
            const double ns = median_ns_per_frame(input, channels, runs);
            std::printf("%-12s %8.3f ns/frame\n", name.c_str(), ns);
        }
    }
}

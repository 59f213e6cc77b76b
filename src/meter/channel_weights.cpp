#include "meter/channel_weights.hpp"

namespace zarn::meter {

namespace {

constexpr double front = 1.0;
constexpr double surround = 1.41;
constexpr double lfe = 0.0;

}  // namespace

std::vector<double> default_channel_weights(std::size_t channels) {
    switch (channels) {
    case 5:
        return {front, front, front, surround, surround};
    case 6:
        return {front, front, front, lfe, surround, surround};
    case 8:
        return {front, front, front, lfe, surround, surround, surround, surround};
    default:
        return std::vector<double>(channels, front);
    }
}

}  // namespace zarn::meter

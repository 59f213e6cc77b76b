#pragma once

// The parameters that ZarnLimiter() and limit() share, as both docstrings
// show them: in the signature line (the defaults are those of
// zarn::LimiterSettings) and in the "Args:" section. Macros, so that each
// docstring stays one string literal.
#define ZARN_SETTINGS_SIGNATURE \
    "sample_rate, threshold_dBFS=0.0, attack_ms=5.0, hold_ms=15.0, release_ms=40.0"

#define ZARN_SETTINGS_ARGUMENTS                                                      \
    "    sample_rate: Sample rate in hertz. Must be a positive 32-bit integer.\n"    \
    "    threshold_dBFS: Output ceiling in dBFS. Must be finite and at most ``0.0``;\n" \
    "        ``0.0`` is full scale and approximately ``-6.02`` is half scale.\n"     \
    "    attack_ms: Look-ahead attack time in milliseconds. It must round to at\n"   \
    "        least one sample at ``sample_rate``.\n"                                 \
    "    hold_ms: Hold time in milliseconds. May be zero.\n"                         \
    "    release_ms: Release time in milliseconds. May be zero.\n"

"""The linear threshold is 10^(threshold_dBFS / 20), correctly rounded.

The reference is exact: the power computed with 60 significant digits, then
rounded once to the nearest double. threshold_dBFS / 20 is rounded to a
double first, as the limiter does.
"""

import decimal
import random

import pytest

from zarn_limiter import ZarnLimiter

DIGITS = decimal.Context(prec=60)
LN10 = decimal.Context(prec=70).ln(10)


def correctly_rounded(threshold_dBFS):
    exponent = decimal.Decimal(threshold_dBFS / 20)
    return float(DIGITS.exp(decimal.Context(prec=70).multiply(exponent, LN10)))


def mismatches(thresholds_dBFS):
    found = []
    for dB in thresholds_dBFS:
        threshold = ZarnLimiter(48000, dB).threshold
        if threshold != correctly_rounded(dB):
            found.append((dB, threshold))
    return found


def test_every_thousandth_of_a_decibel_down_to_minus_150():
    assert mismatches(-step / 1000 for step in range(150_001)) == []


RANDOM = random.Random(13)


@pytest.mark.parametrize(
    "thresholds_dBFS",
    [
        pytest.param([RANDOM.uniform(-7000.0, 0.0) for _ in range(3000)], id="random"),
        # 10^(dB/20) below 2^-1022, down to the smallest subnormal and 0.
        pytest.param([RANDOM.uniform(-6480.0, -6150.0) for _ in range(3000)], id="subnormal"),
        pytest.param(
            [0.0, -0.0, -5e-324, -1e-300, -4.8e-16, -4.84e-16, -6470.0, -6474.0, -7000.0,
             -1e300, -1.7976931348623157e308],
            id="extreme",
        ),
    ],
)
def test_other_thresholds(thresholds_dBFS):
    assert mismatches(thresholds_dBFS) == []

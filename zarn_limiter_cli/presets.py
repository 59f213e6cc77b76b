"""Delivery presets: the loudness and true-peak ceiling a delivery asks for, and the check.

The tolerance is how far the integrated loudness may stray from the target
and still be accepted by that delivery; the command itself writes within
0.1 LU of it.
"""

from __future__ import annotations

from dataclasses import dataclass


@dataclass(frozen=True)
class Preset:
    name: str
    loudness_LUFS: float
    true_peak_dBTP: float
    tolerance_LU: float
    description: str

    def verdict(self, loudness_LUFS: float, true_peak_dBTP: float) -> str:
        """'pass', or 'fail:' and what is out of bounds, for the written file's levels."""
        faults = []
        if not abs(loudness_LUFS - self.loudness_LUFS) <= self.tolerance_LU:
            faults.append(f"loudness {loudness_LUFS:.1f} LUFS is not within "
                          f"{self.loudness_LUFS:g} ± {self.tolerance_LU:g}")
        if not true_peak_dBTP <= self.true_peak_dBTP:
            faults.append(f"true peak {true_peak_dBTP:+.2f} dBTP is above {self.true_peak_dBTP:g}")
        return "fail: " + "; ".join(faults) if faults else "pass"


PRESETS = {preset.name: preset for preset in (
    Preset("ebu-r128", -23.0, -1.0, 0.5, "EBU R 128 broadcast: -23 LUFS ± 0.5 LU, -1 dBTP"),
    Preset("atsc-a85", -24.0, -2.0, 2.0, "ATSC A/85 broadcast: -24 LKFS ± 2 dB, -2 dBTP"),
    Preset("streaming", -14.0, -1.0, 1.0, "music streaming: -14 LUFS ± 1 LU, -1 dBTP"),
    Preset("podcast", -16.0, -1.0, 1.0, "podcasts: -16 LUFS ± 1 LU, -1 dBTP"),
)}

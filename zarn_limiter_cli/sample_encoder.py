"""Float32 frames encoded as a file's samples by libsndfile itself.

A header-less file in memory of the same subtype and byte order gives the
very bytes a soundfile write of the whole file would have put in its sample
chunk: the scaling, rounding and clipping are libsndfile's, not restated here.
"""

from __future__ import annotations

import io

import numpy as np
import soundfile as sf
from numpy.typing import NDArray

from .sample_region import SampleRegion


def encode_samples(block: NDArray[np.float32], region: SampleRegion) -> bytes:
    """The bytes of (frames, channels) float32 frames in the region's encoding."""
    buffer = io.BytesIO()
    with sf.SoundFile(buffer, "w", samplerate=region.sample_rate, channels=region.channels,
                      format="RAW", subtype=region.subtype, endian=region.endian) as raw:
        raw.write(block)
    return buffer.getvalue()

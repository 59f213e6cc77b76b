#pragma once

#include <Python.h>

namespace zarn::python {

// decode_samples and encode_samples: a file's stored samples to float32
// values and back, with a null entry at the end.
extern PyMethodDef sample_coding_functions[];

}  // namespace zarn::python

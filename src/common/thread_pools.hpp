// The numeric libraries' thread pools held to one thread while small, frequent work runs (a live
// window's few arrays, DQN updates of a small network). On a machine with few cores, pools of
// several threads spinning for such work fight over the cores: the live loop's tail latency grows
// and training slows, many times over when another process keeps a core busy. The settings are
// given back afterwards, so a host's own large computations keep the pools it chose.
#pragma once

#include <pybind11/pybind11.h>

namespace corvane {

namespace py = pybind11;

// Sets PyTorch's intra-op threads (when torch is imported) and, through threadpoolctl, the BLAS
// and OpenMP pools to one thread (those it can: without threadpoolctl only torch). Returns what
// restore_thread_pools needs to put them back.
py::object limit_thread_pools();

// Puts back the settings `before` (from limit_thread_pools); None does nothing. A Python
// `Exception` on the way is ignored: the work is done and must not fail for it.
void restore_thread_pools(const py::object& before);

}  // namespace corvane

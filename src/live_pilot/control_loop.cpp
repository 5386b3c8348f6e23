// The decode-and-command loop over the live board stream.
//
// Every pass reads the module's globals afresh (board, eeg_buffer, model, ...), so a host that
// rebinds one of them is heard on the next pass.
#include <pybind11/numpy.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>

#include "common/board.hpp"
#include "common/settings.hpp"
#include "common/classes.hpp"
#include "common/interop.hpp"
#include "live_pilot/live_pilot.hpp"
#include "common/python_values.hpp"

namespace corvane::live_pilot {

namespace {

constexpr double kPassPause = 0.02;
// A board that delivers nothing for one step has both outputs stopped while the loop waits; one
// that delivers nothing for this long has stopped streaming.
constexpr double kBoardSilenceLimit = 5.0;

// Where the ring buffer's next window falls: samples still needed, and the step between windows.
struct WindowGrid {
    long long needed, step;
};

// The grid read from the ring buffer's state, or nullopt when its state does not say (the
// caller then hands it the whole block).
std::optional<WindowGrid> window_grid(const py::object& ring) {
    auto index = exact_int(ring.attr("index"));
    auto last = exact_int(ring.attr("last_window_end"));
    auto size = exact_int(ring.attr("buffer_size"));
    auto step = exact_int(ring.attr("step_size"));
    if (!index || !last || !size || !step || *size <= 0 || *step <= 0) return std::nullopt;
    long long since = ((*index - *last) % *size + *size) % *size;
    if (*step - since <= 0) return std::nullopt;
    return WindowGrid{*step - since, *step};
}

// The Q-network's output for one block of `observations` (a tensor of every block's rows), as a
// NumPy vector. Each block is its own forward pass of batch one, as the agent is queried for one
// observation: a batched pass differs in the last float32 digits.
py::object q_values_of(const QNetwork& q_net, const py::object& observations, long long first, long long end) {
    py::object block = observations[py::make_tuple(whole(), slice_of(py::int_(first), py::int_(end)), whole())];
    return q_net(block)[py::int_(0)].attr("numpy")();
}

// The scaled features as the network's float32, converted once for every block, as obs_to_tensor
// and the policy's preprocessing convert each block; into one tensor kept from window to window
// (with a NumPy view of its memory, through which float64 features are converted natively).
py::object float32_observations(const py::object& torch, const py::object& scaled_features) {
    static py::object* kept = nullptr;  // (tensor, its NumPy view)
    py::tuple shape = scaled_features.attr("shape");
    if (kept == nullptr || !py::tuple((*kept)[py::int_(0)].attr("shape")).equal(shape)) {
        delete kept;
        py::object tensor = torch.attr("empty")(shape, py::arg("dtype") = torch.attr("float32"));
        kept = new py::object(py::make_tuple(tensor, tensor.attr("numpy")()));
    }
    py::object tensor = (*kept)[py::int_(0)];
    if (py::isinstance<py::array_t<double, py::array::c_style>>(scaled_features)) {
        auto from = py::reinterpret_borrow<py::array_t<double, py::array::c_style>>(scaled_features);
        auto to = (*kept)[py::int_(1)].cast<py::array_t<float, py::array::c_style>>();
        const double* x = from.data();
        float* y = to.mutable_data();
        for (py::ssize_t i = 0, n = from.size(); i < n; ++i) y[i] = static_cast<float>(x[i]);
    } else {
        tensor.attr("copy_")(torch.attr("as_tensor")(scaled_features));
    }
    return tensor;
}

// The blocks whose confidence passes the threshold, in block order: their candidate decisions
// and their Q-values. A block is one filter's rows, as many as the agent observes.
struct KeptBlocks {
    py::list predictions, confidences, q_values;
};

KeptBlocks decide_blocks(const py::object& model, const py::object& scaled_features) {
    long long block_rows = py::tuple(model.attr("observation_space").attr("shape"))[0].cast<long long>();
    long long blocks = scaled_features.attr("shape")[py::int_(1)].cast<long long>() / block_rows;
    KeptBlocks kept;
    py::object torch = py::module_::import("torch");
    // Inference mode: no autograd bookkeeping (faster than no_grad), the same numbers.
    py::object inference = torch.attr("inference_mode")();
    inference.attr("__enter__")();
    try {
        QNetwork q_net(model.attr("q_net"));
        py::object observations = float32_observations(torch, scaled_features);
        for (long long block = 0; block < blocks; ++block) {
            py::object q = q_values_of(q_net, observations, block * block_rows, (block + 1) * block_rows);
            BlockDecision decision = decide_block(q);
            if (decision.confidence.cast<double>() > kConfidenceThreshold) {
                kept.predictions.append(decision.action);
                kept.confidences.append(decision.confidence);
                kept.q_values.append(q);
            }
        }
    } catch (...) {
        inference.attr("__exit__")(py::none(), py::none(), py::none());
        throw;
    }
    inference.attr("__exit__")(py::none(), py::none(), py::none());
    return kept;
}

// What the loop carries from pass to pass.
struct LoopState {
    long long window = kLiveWindowSamples;  // samples in a window
    long long step = kLiveStepSamples;          // samples between windows
    long long fresh = 0;                    // samples received since main() began or the board was last silent
    bool bad_signal = false;                // within a run of windows held back by the signal check
};

// The command a decodable window decides (printing its stages), "S" when no block is confident.
py::object decide(const py::module_& m, const py::object& window_data) {
    py::object csp_ftrs = csp_projections(m, window_data);
    corvane::print(py::str("CSP Features Shape: ") + py::str(csp_ftrs.attr("shape")));

    py::object ftrs = m.attr("dqnutils").attr("featuresarray_load")(py::arg("data_array") = csp_ftrs);
    py::object shape = ftrs.attr("shape");
    corvane::print(py::str("Extracted Features Shape: ") + py::str(shape));
    // Scaled once: every block is a slice of the same scaled array.
    py::object rows = ftrs.attr("reshape")(-1, shape[py::int_(-1)]);
    py::object scaled = scaled_rows(m, rows).attr("reshape")(shape);

    // The rule in force is read each window, as the module's other globals are.
    py::str rule = decision_rule_named(py::str(m.attr("decision_rule")).cast<std::string>(), "decision_rule");
    KeptBlocks kept = decide_blocks(m.attr("model"), scaled);
    py::tuple choice = rule.equal(py::str(kQSumRule)) ? m.attr("get_summed_prediction")(kept.q_values)
                                                      : m.attr("get_conservative_prediction")(kept.predictions, kept.confidences);
    if (choice[0].is_none()) return py::str(kStopCommand);
    py::object command = class_command(m, choice[0]);
    corvane::print(py::str(kMappedCommandPrefix) + py::str(command) + py::str(" ") + py::str(kept.predictions) +
                   py::str(kept.confidences));
    return command;
}

// The latest window's command, to the actuator first and then to the simulator. A window whose
// newest step fails the signal check is not decoded: its command is "S", and the first window of
// such a run says why.
void handle_window(const py::module_& m, LoopState& state) {
    py::object window = m.attr("eeg_buffer").attr("get_window")();
    py::object window_data = window.attr("reshape")(1, m.attr("num_channels"), -1);
    corvane::print(py::str(kWindowLinePrefix) + py::str(window_data.attr("shape")));

    py::object fault = m.attr("signal_fault")(window, state.step);
    py::object command = py::str(kStopCommand);
    if (fault.is_none()) {
        state.bad_signal = false;
        command = decide(m, window_data);
    } else if (!state.bad_signal) {
        state.bad_signal = true;
        print_signal_fault(fault);
    }
    m.attr("arduino").attr("send_command")(command);
    m.attr("simulation").attr("send_command")(command);
}

// The EEG rows of the samples that arrived since the previous read (the board's buffer is drained,
// so no sample is read twice).
py::object read_new_samples(const py::module_& m) {
    py::object data = m.attr("board").attr("get_board_data")(m.attr("samples_per_read"));
    return data[py::make_tuple(wired_eeg_rows(), whole())];
}

// Hands the block to the ring buffer in pieces that end where a window is due. No window is
// decoded before the ring holds a whole window of fresh samples; the first is decoded as soon as
// it does. When one read brings several steps' worth of samples (the loop fell behind), the older
// windows are skipped and only the newest is decoded; every sample still enters the buffer once.
void feed(const py::module_& m, const py::object& eeg_data, LoopState& state) {
    long long count = eeg_data.attr("shape")[py::int_(1)].cast<long long>();
    long long fed = 0;
    do {
        py::object ring = m.attr("eeg_buffer");
        long long piece = count - fed;
        long long skipped = 0;
        const bool filling = state.fresh < state.window;
        if (filling) {
            piece = std::min(piece, state.window - state.fresh);
        } else if (auto grid = window_grid(ring); grid && grid->needed <= piece) {
            skipped = (piece - grid->needed) / grid->step;
            piece = grid->needed + skipped * grid->step;
        }
        py::object block = (fed == 0 && piece == count)
                               ? eeg_data
                               : eeg_data[py::make_tuple(whole(), slice_of(py::int_(fed), py::int_(fed + piece)))];
        bool window_due = ring.attr("add_data")(block).cast<bool>();
        fed += piece;
        state.fresh += piece;
        if (state.fresh < state.window || !(filling || window_due)) continue;
        if (skipped > 0) {
            corvane::print("Loop fell behind: skipped " + std::to_string(skipped) + (skipped == 1 ? " window" : " windows") +
                           ", decoding the newest");
        }
        handle_window(m, state);
    } while (fed < count);
}

// Both outputs to "S", the actuator first.
void stop_outputs(const py::module_& m) {
    stop_actuator(m.attr("arduino"));
    m.attr("simulation").attr("send_command")(kStopCommand);
}

// A run of main() starts from nothing: what the board delivered before is dropped, and the ring
// buffer holds no samples (the write position stays where it is).
void start_afresh(const py::module_& m, LoopState& state) {
    m.attr("board").attr("get_board_data")();
    py::object ring = m.attr("eeg_buffer");
    if (py::hasattr(ring, "buffer") && py::hasattr(ring.attr("buffer"), "fill")) ring.attr("buffer").attr("fill")(0.0);
    if (py::hasattr(ring, "index")) ring.attr("last_window_end") = ring.attr("index");
    state.window = exact_int(py::getattr(ring, "window_size", py::none())).value_or(kLiveWindowSamples);
    state.step = exact_int(py::getattr(ring, "step_size", py::none())).value_or(kLiveStepSamples);
    state.fresh = 0;
}

}  // namespace

void run_loop(const py::module_& m, Watchdog& watchdog) {
    using clock = std::chrono::steady_clock;
    auto sleep = py::module_::import("time").attr("sleep");
    LoopState state;
    start_afresh(m, state);
    const double silence_stop = static_cast<double>(state.step) / kSamplingRate;
    // A pass that does not end within one step, whatever holds it up, has the actuator stopped.
    watchdog.arm(silence_stop, m.attr("arduino"));
    auto last_data = clock::now();
    bool stopped_for_silence = false;
    while (true) {
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        py::object eeg_data = read_new_samples(m);
        if (eeg_data.attr("shape")[py::int_(1)].cast<long long>() > 0) {
            last_data = clock::now();
            stopped_for_silence = false;
            feed(m, eeg_data, state);
        } else {
            double silent = std::chrono::duration<double>(clock::now() - last_data).count();
            if (silent > kBoardSilenceLimit) raise(PyExc_TimeoutError, "Board stopped streaming: no samples for 5 seconds");
            if (silent >= silence_stop && !stopped_for_silence) {
                stopped_for_silence = true;
                // Samples after the gap do not continue those before it: a whole new window first.
                state.fresh = 0;
                corvane::print("No samples from the board for one step: outputs stopped while waiting");
                stop_outputs(m);
            }
        }
        sleep(kPassPause);
        watchdog.pass_completed(m.attr("arduino"));
    }
}

}  // namespace corvane::live_pilot

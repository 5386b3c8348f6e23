// What importing the module does: load the artefacts, create the connections and the ring buffer,
// open and start the board.
#include <string>
#include <vector>

#include "common/classes.hpp"
#include "common/decoder.hpp"
#include "common/interop.hpp"
#include "common/signal_quality_binding.hpp"
#include "live_pilot/live_pilot.hpp"
#include "common/settings.hpp"

namespace corvane::live_pilot {

namespace {

// How long the resolver may take for the controller's name at import.
constexpr double kActuatorResolveSeconds = 5.0;

void import_dependencies(py::module_& m) {
    m.attr("time") = py::module_::import("time");
    m.attr("PolicyForge") = py::module_::import("policy_forge").attr("PolicyForge");
    m.attr("np") = py::module_::import("numpy");
    m.attr("socket") = py::module_::import("socket");
    m.attr("DQN") = py::module_::import("stable_baselines3").attr("DQN");
    auto board_shim = py::module_::import("brainflow.board_shim");
    for (const char* name : {"BoardShim", "BrainFlowInputParams", "BoardIds"}) m.attr(name) = board_shim.attr(name);
    m.attr("CSP") = py::module_::import("mne.decoding").attr("CSP");
    m.attr("joblib") = py::module_::import("joblib");
    m.attr("tf") = py::module_::import("tensorflow");
    m.attr("mne") = py::module_::import("mne");
    m.attr("torch") = py::module_::import("torch");
}

// Nothing stored in the artefact files runs: they are read through allow-list unpicklers.
void load_artefacts(py::module_& m) {
    py::object folder = artefact_dir();
    m.attr("dqnutils") = m.attr("PolicyForge")();
    py::object model_path =
        path_join({folder, py::str(kAgentFolder[0]), py::str(kAgentFolder[1]), py::str(kAgentFile)});
    m.attr("model") = load_agent(m.attr("DQN"), model_path);
    print("DQN model loaded.");
    m.attr("csp_filters") = load_fitted_objects(path_join({folder, py::str(kFiltersFile)}));
    print("CSP filters loaded for real-time use.");
    m.attr("scaler") = load_fitted_objects(path_join({folder, py::str(kScalerFile)}));
    print("Scaler loaded for real-time use.");
}

void create_ring_buffer(py::module_& m) {
    m.attr("num_channels") = kWiredElectrodes.size();
    m.attr("buffer_size") = kLiveBufferSamples;
    m.attr("window_size") = kLiveWindowSamples;
    m.attr("samples_per_read") = kLiveReadSamples;
    m.attr("eeg_buffer") = m.attr("MultiChannelCircularBuffer")(
        py::arg("num_channels") = m.attr("num_channels"), py::arg("buffer_size") = m.attr("buffer_size"),
        py::arg("window_size") = m.attr("window_size"), py::arg("overlap_ratio") = kLiveOverlapRatio);
    m.attr("predictions") = py::list();
}

// Opens and starts the board; a board that was prepared but cannot stream is released again.
void open_board(py::module_& m) {
    py::object params = m.attr("BrainFlowInputParams")();
    params.attr("serial_port") = serial_port();
    m.attr("params") = params;
    py::object board = m.attr("BoardShim")(cyton_board_id(), params);
    m.attr("board") = board;
    board.attr("prepare_session")();
    print("BrainFlow session prepared.");
    try {
        board.attr("start_stream")();
    } catch (...) {
        try {
            board.attr("release_session")();
        } catch (py::error_already_set&) {
            // The start failure is the one the caller needs to see.
        }
        throw;
    }
    print(kReadyLine);
}

// The module named by -m in the interpreter's command line, or "" when there is none.
std::string module_run_by_command_line() {
    std::vector<std::string> args;
    for (auto arg : py::module_::import("sys").attr("orig_argv")) args.push_back(py::str(arg));
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.size() < 2 || arg[0] != '-' || arg == "--" || arg[1] == '-') return "";
        // A cluster of one-letter options; -c, -W and -X take a value, -m the module name.
        for (size_t k = 1; k < arg.size(); ++k) {
            char option = arg[k];
            bool rest_is_value = k + 1 < arg.size();
            if (option == 'm') return rest_is_value ? arg.substr(k + 1) : (i + 1 < args.size() ? args[i + 1] : "");
            if (option == 'c') return "";
            if (option == 'W' || option == 'X') {
                if (!rest_is_value) ++i;
                break;
            }
        }
    }
    return "";
}

}  // namespace

bool run_as_program() {
    // While the module runner looks for the -m module, sys.argv[0] is "-m".
    py::list argv = py::module_::import("sys").attr("argv");
    if (argv.empty() || py::str(argv[0]).cast<std::string>() != "-m") return false;
    return module_run_by_command_line() == "live_pilot";
}

void set_up_module(py::module_& m) {
    // The outputs' addresses and the decision rule are checked before anything is loaded or opened.
    simulator_url();
    // The controller's name is resolved once, here, and its address kept: a resolver that stops
    // answering later cannot hold up a stop.
    resolve_actuator_host(actuator_address().first, kActuatorResolveSeconds);
    py::str rule = decision_rule();
    import_dependencies(m);
    m.attr("decision_rule") = rule;
    m.attr("MIN_CONFIDENCE") = 0.3;
    m.attr("MAX_CONFIDENCE") = 0.8;
    m.attr("COMMAND_DURATION") = 0.5;
    load_artefacts(m);
    bind_ring_buffer(m);
    bind_connections(m);
    m.attr("simulation") = m.attr("SimulationConnection")();
    auto [host, port] = actuator_address();
    m.attr("arduino") = m.attr("ArduinoConnection")(host, port);
    bind_decisions(m);
    bind_signal_fault(m);
    create_ring_buffer(m);
    check_artefacts(m);
    print(class_table_line(agent_class_names(m.attr("model")), m.attr("model").attr("action_space").attr("n").cast<long long>()));
    open_board(m);
    bind_control_loop(m);
}

}  // namespace corvane::live_pilot

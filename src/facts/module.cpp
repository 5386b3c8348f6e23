// corvane._facts: the constants and small rules the modules are built from, for hosts. Importing it
// opens nothing and imports no library: every value is the modules' own definition from src/common.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>

#include "common/board.hpp"
#include "common/classes.hpp"
#include "common/decoder.hpp"
#include "common/files.hpp"
#include "common/settings.hpp"
#include "common/signatures.hpp"

namespace py = pybind11;
using namespace corvane;

namespace {

template <typename Container, typename Item>
py::tuple tuple_of(const Container& items, Item item) {
    py::list values;
    for (const auto& value : items) values.append(item(value));
    return py::tuple(values);
}

void add_files(py::module_& m) {
    m.attr("ANNOTATIONS_FILE") = kAnnotationsFile;
    m.attr("COMBINED_FILE") = kCombinedFile;
    m.attr("FILTERS_FILE") = kFiltersFile;
    m.attr("SCALER_FILE") = kScalerFile;
    py::tuple parts = py::make_tuple(kAgentFolder[0], kAgentFolder[1], kAgentFile);
    m.attr("AGENT_ARCHIVE_PARTS") = parts;
    py::object archive = py::module_::import("os").attr("path").attr("join")(*parts);
    m.attr("AGENT_ARCHIVE") = archive;
    m.attr("AGENT_ARCHIVE_FILE") = archive + py::str(kAgentArchiveSuffix);
}

void add_signal_facts(py::module_& m) {
    m.attr("EPOCH_TMIN") = kEpochStart;
    m.attr("EPOCH_TMAX") = kEpochEnd;
    m.attr("EPOCH_BASELINE") = py::make_tuple(kBaselineStart, kBaselineEnd);
    m.attr("SAMPLING_RATE") = kSamplingRate;
    m.attr("ELECTRODES") = tuple_of(kWiredElectrodes, [](const char* name) { return py::str(name); });
    m.attr("LIVE_WINDOW") = kLiveWindowSamples;
    m.attr("LIVE_OVERLAP") = kLiveOverlapRatio;
    m.attr("LIVE_STEP") = kLiveStepSamples;
    m.attr("LIVE_BUFFER") = kLiveBufferSamples;
    m.attr("LIVE_READ") = kLiveReadSamples;
    m.attr("TRAINING_ROW_START") = kTrainingRowStart;
    m.attr("FEATURE_ROW_LENGTH") = kFeatureRowLength;
    m.attr("CONFIDENCE_THRESHOLD") = kConfidenceThreshold;
    m.attr("DECISION_RULES") = py::make_tuple(kConservativeRule, kQSumRule);
}

void add_classes(py::module_& m) {
    m.attr("DEFAULT_ACTIONS") = tuple_of(kDefaultActions, [](const Action& a) { return py::str(a.name); });
    py::dict labels;
    for (const auto& action : kDefaultActions) labels[action.name] = normalised_label(task_label(py::str(action.name)));
    m.attr("ACTION_LABELS") = labels;
    m.attr("CLASS_COMMANDS") = tuple_of(kDrivingClasses, [](const ClassCommand& c) { return py::make_tuple(c.label, c.command); });
    m.attr("POSITIONAL_COMMANDS") = tuple_of(kDrivingClasses, [](const ClassCommand& c) { return py::str(c.command); });
    m.attr("STOP_CLASS") = kStopClass;
    m.attr("STOP_CLASSES") = tuple_of(kStopClasses, [](const char* name) { return py::str(name); });
    m.attr("STOP_COMMAND") = kStopCommand;
    py::dict by_name;
    for (const auto& driving : kDrivingClasses) by_name[driving.label] = driving.command;
    for (const char* stop : kStopClasses) by_name[stop] = kStopCommand;
    m.attr("CLASS_NAME_COMMANDS") = by_name;

    m.def("class_label", &normalised_label, py::arg("task"),
          py::doc("The class name a task label stands for, as combined recordings label it: lower-cased, "
                  "'Jaw_Clenching' -> 'jaw', 'Left_Hand' -> 'left'."));
    m.def("command_for_class", &command_for_class, py::arg("name"), py::arg("position"),
          py::doc("The drive command of the class `name` at class number `position`: by the name when it is a "
                  "known class in any case and either form (left/Left_Hand 'L', right/Right_Hand 'R', blinking "
                  "'F', jaw/Jaw_Clenching 'B', relax or rest 'S'), else by position (0 'L', 1 'R', 2 'F', 3 'B', "
                  "any other 'S')."));
    m.def("class_commands", &class_commands, py::arg("names"),
          py::doc("command_for_class of each name at its position, as a tuple."));
}

void add_lines_and_defaults(py::module_& m) {
    m.attr("READY_LINE") = kReadyLine;
    m.attr("CLASS_TABLE_LINE") = kClassTableLine;
    m.attr("WINDOW_LINE_PREFIX") = kWindowLinePrefix;
    m.attr("MAPPED_COMMAND_PREFIX") = kMappedCommandPrefix;
    m.attr("DEFAULT_BASE_DIRECTORY") = kDefaultBaseDirectory;
    m.attr("DEFAULT_SERIAL_PORT") = kDefaultSerialPort;
    m.attr("DEFAULT_SIMULATOR_URL") = kDefaultSimulatorUrl;
    m.attr("DEFAULT_ACTUATOR_HOST") = kDefaultActuatorHost;
    m.attr("ACTUATOR_PORT") = kActuatorPort;
    m.attr("DEFAULT_API_URL") = kDefaultApiUrl;
    m.def("parse_actuator_address", [](const std::string& text) {
              auto [host, port] = actuator_address_of(text);
              return py::make_tuple(host, port);
          },
          py::arg("text"),
          py::doc("(host, port) of an actuator address as live_pilot reads CORVANE_ACTUATOR_HOST: a host name or "
                  "IP address (IPv6 comes back in brackets) with an optional :port, port 80 when none is given; "
                  "ValueError otherwise."));
}

}  // namespace

PYBIND11_MODULE(_facts, m) {
    py::options options;
    options.disable_function_signatures();
    m.doc() = "The constants and rules Corvane's modules are built from, for hosts; importing it opens nothing.";
    add_files(m);
    add_signal_facts(m);
    add_classes(m);
    add_lines_and_defaults(m);
    add_text_signatures(m);
}

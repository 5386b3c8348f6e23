#include "common/classes.hpp"

#include "common/python_values.hpp"

namespace corvane {

namespace {

// The command a known class label stands for, or nullptr.
const char* command_of_label(const std::string& label) {
    for (const auto& driving : kDrivingClasses) {
        if (label == driving.label) return driving.command;
    }
    for (const char* stop : kStopClasses) {
        if (label == stop) return kStopCommand;
    }
    return nullptr;
}

const char* command_of_name(const py::object& name) {
    if (!py::isinstance<py::str>(name)) return nullptr;
    return command_of_label(normalised_label(name).cast<std::string>());
}

}  // namespace

py::str positional_command(const py::object& position) {
    py::dict commands;
    for (std::size_t i = 0; i < kDrivingClasses.size(); ++i) commands[py::int_(i)] = kDrivingClasses[i].command;
    return commands.attr("get")(position, kStopCommand);
}

py::str task_label(const py::object& action) {
    py::str part = action.attr("split")("_")[py::int_(0)];
    if (part.equal(py::str("Jaw"))) return py::str("Jaw_Clenching");
    if (part.equal(py::str("Left")) || part.equal(py::str("Right"))) return part + py::str("_Hand");
    return part;
}

py::str normalised_label(const py::object& task) {
    py::str label = task.attr("strip")().attr("lower")();
    if (label.equal(py::str("jaw_clenching"))) return py::str("jaw");
    if (truthy(label.attr("endswith")("_hand"))) return label.attr("split")("_")[py::int_(0)];
    return label;
}

py::str command_for_class(const py::object& name, const py::object& position) {
    const char* command = command_of_name(name);
    return command ? py::str(command) : positional_command(position);
}

py::tuple class_commands(const py::object& names) {
    py::list commands;
    long long position = 0;
    for (py::handle name : names) {
        commands.append(command_for_class(py::reinterpret_borrow<py::object>(name), py::int_(position++)));
    }
    return py::tuple(commands);
}

py::dict named_class_commands(const py::object& names) {
    py::dict commands;
    long long position = 0;
    for (py::handle name : names) {
        if (const char* command = command_of_name(py::reinterpret_borrow<py::object>(name))) {
            commands[py::int_(position)] = command;
        }
        ++position;
    }
    return commands;
}

std::string class_table_line(const py::object& names, long long classes) {
    std::string line, separator;
    if (names.is_none()) {
        line = std::string(kClassTableLine) + " by position (the agent names no classes): ";
        for (long long k = 0; k < classes; ++k, separator = ", ") {
            line += separator + std::to_string(k) + " -> " + positional_command(py::int_(k)).cast<std::string>();
        }
        return line;
    }
    line = std::string(kClassTableLine) + ": ";
    py::tuple commands = class_commands(names);
    long long k = 0;
    for (py::handle name : names) {
        line += separator + py::str(name).cast<std::string>() + " -> " + commands[k++].cast<std::string>();
        separator = ", ";
    }
    return line;
}

}  // namespace corvane

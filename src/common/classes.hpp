// The classes the system records and decodes, and the drive command each class stands for.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <string>

namespace corvane {

namespace py = pybind11;

// The actions capture_hub cues by default, in its order, with the instruction shown for each.
struct Action {
    const char* name;
    const char* instruction;
};
inline constexpr std::array<Action, 5> kDefaultActions = {{
    {"Right_Hand", "Imagine or perform right hand movement"},
    {"Left_Hand", "Imagine or perform left hand movement"},
    {"Blinking", "Blink your eyes at a comfortable pace"},
    {"Jaw_Clenching", "Clench your jaw with moderate force"},
    {"Relax", "Relax your body and mind, do nothing"},
}};

// A class's short label (as combined recordings label it) and the command it stands for.
struct ClassCommand {
    const char* label;
    const char* command;
};
// Hand imagery turns the vehicle to that side, blinks drive it forward, jaw clenching back. In
// this order they are also the positional table: class k < 4 of an agent whose class has no known
// name drives the k-th command, and any other class stops.
inline constexpr std::array<ClassCommand, 4> kDrivingClasses = {{{"left", "L"}, {"right", "R"}, {"blinking", "F"}, {"jaw", "B"}}};
inline constexpr const char* kStopCommand = "S";
// Classes that stop the vehicle whatever their position: relaxing (the class the recordings cue)
// and resting.
inline constexpr const char* kStopClass = "relax";
inline constexpr std::array<const char*, 2> kStopClasses = {kStopClass, "rest"};
// The start of the line live_pilot prints with the table it maps by ("Class commands: left -> L, ...").
inline constexpr const char* kClassTableLine = "Class commands";

// The label logged for an action: "Jaw" -> "Jaw_Clenching", "Left"/"Right" -> "..._Hand".
py::str task_label(const py::object& action);
// The class name of a task label in combined files: lower-cased, "jaw_clenching" -> "jaw",
// "<side>_hand" -> "<side>"; left, right, jaw, blinking, relax, ...
py::str normalised_label(const py::object& task);

// The positional table's command of a class number, looked up as a dictionary would: any value
// equal to 0-3 (an int, a NumPy integer, 2.0, True) finds its command, anything else "S".
py::str positional_command(const py::object& position);
// The command of the class `name` at `position`: by the name when it is a known class in any case
// and either form (Left_Hand or left, Jaw_Clenching or jaw, Relax, Rest, ...), else the positional
// table's.
py::str command_for_class(const py::object& name, const py::object& position);
// command_for_class of each name at its position, as a tuple.
py::tuple class_commands(const py::object& names);
// {position: command} for the names that are known classes; the others are left out.
py::dict named_class_commands(const py::object& names);
// The agent's class table in one line: each name and its command, or, for `names` None, the
// positional table over `classes` class numbers.
std::string class_table_line(const py::object& names, long long classes);

}  // namespace corvane

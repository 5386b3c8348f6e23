// Loading the trained artefacts without running code stored in them. The two joblib pickles and
// the serialized objects of the agent archive are rebuilt through allow-list unpicklers; the
// archive's tensors are read by stable-baselines3 with weights-only loading.
#include <set>
#include <string>
#include <utility>

#include "common/allow_list_unpickler.hpp"
#include "common/decoder.hpp"
#include "common/interop.hpp"
#include "live_pilot/live_pilot.hpp"

namespace corvane::live_pilot {

namespace {

using Globals = std::set<std::pair<std::string, std::string>>;

// NumPy arrays, dtypes and scalars, under both of NumPy's package layouts.
Globals numpy_globals() {
    Globals globals = {{"numpy", "ndarray"}, {"numpy", "dtype"}};
    for (std::string core : {"numpy.core", "numpy._core"}) {
        globals.insert({core + ".multiarray", "scalar"});
        globals.insert({core + ".multiarray", "_reconstruct"});
        globals.insert({core + ".numeric", "_frombuffer"});
    }
    return globals;
}

PickleAllowList fitted_objects() {
    Globals globals = numpy_globals();
    globals.insert({"joblib.numpy_pickle", "NumpyArrayWrapper"});
    globals.insert({"mne.decoding.csp", "CSP"});
    globals.insert({"mne.decoding._csp", "CSP"});
    globals.insert({"sklearn.preprocessing._data", "StandardScaler"});
    return {globals, true, "NumPy arrays, CSP filters, StandardScaler and plain built-in values"};
}

// What the agent archive keeps besides the policy class and the schedules: spaces and settings.
PickleAllowList agent_settings() {
    Globals globals = numpy_globals();
    for (std::string spaces : {"gymnasium.spaces", "gym.spaces"}) {
        globals.insert({spaces + ".box", "Box"});
        globals.insert({spaces + ".discrete", "Discrete"});
    }
    for (const char* name : {"TrainFreq", "TrainFrequencyUnit"}) globals.insert({"stable_baselines3.common.type_aliases", name});
    globals.insert({"stable_baselines3.common.buffers", "ReplayBuffer"});
    // A trained agent also keeps its episode records and the spaces' seeded random generators.
    globals.insert({"collections", "deque"});
    for (const char* name : {"__bit_generator_ctor", "__generator_ctor", "__randomstate_ctor"}) {
        globals.insert({"numpy.random._pickle", name});
    }
    for (const char* name : {"FloatSchedule", "ConstantSchedule", "LinearSchedule"}) {
        globals.insert({"stable_baselines3.common.utils", name});
    }
    return {globals, true, "NumPy values, spaces, stable-baselines3 settings and plain built-in values"};
}

// The policies an agent for this module may name: the training pipeline's and the library's own.
PickleAllowList known_policies() {
    Globals globals = {{"policy_forge", "KerasDQNPolicy"}};
    for (const char* name : {"DQNPolicy", "CnnPolicy", "MultiInputPolicy"}) globals.insert({"stable_baselines3.dqn.policies", name});
    return {globals, false, "the known policy classes"};
}

py::object unpickling_error() { return py::module_::import("pickle").attr("UnpicklingError"); }

py::object unpickle_bytes(const py::object& cls, const py::bytes& data, const py::str& label) {
    py::object unpickler = cls(py::module_::import("io").attr("BytesIO")(data));
    unpickler.attr("_corvane_filename") = label;
    return unpickler.attr("load")();
}

// A plain number from the archive's settings, or None.
py::object number(const py::dict& data, const char* key) {
    if (!data.contains(key)) return py::none();
    py::object value = data[key];
    bool numeric = (py::isinstance<py::int_>(value) || py::isinstance<py::float_>(value)) && !py::isinstance<py::bool_>(value);
    return numeric ? value : py::none();
}

// Stand-ins for the archive's serialized objects, so the library never unpickles them itself:
// the policy class from the known ones, the schedules rebuilt from their plain settings (as the
// library rebuilds them on load), everything else through the settings allow-list.
py::dict supplied_objects(const py::dict& data, const py::str& path) {
    static py::object* policies = new py::object(allow_list_unpickler_class(
        "live_pilot", "_PolicyUnpickler", py::module_::import("pickle").attr("Unpickler"), known_policies()));
    static py::object* settings = new py::object(allow_list_unpickler_class(
        "live_pilot", "_SettingsUnpickler", py::module_::import("pickle").attr("Unpickler"), agent_settings()));
    auto utils = py::module_::import("stable_baselines3.common.utils");
    auto base64 = py::module_::import("base64");
    py::object learning_rate = number(data, "learning_rate");
    py::object start = number(data, "exploration_initial_eps"), end = number(data, "exploration_final_eps"),
               fraction = number(data, "exploration_fraction");
    py::dict supplied;
    for (auto [key_handle, value] : data) {
        if (!py::isinstance<py::dict>(value) || !value.cast<py::dict>().contains(":serialized:")) continue;
        py::str key = py::reinterpret_borrow<py::str>(key_handle);
        std::string name = key.cast<std::string>();
        py::str label = path + py::str(" (") + key + py::str(")");
        if (name == "lr_schedule" && !learning_rate.is_none()) {
            supplied[key] = utils.attr("FloatSchedule")(learning_rate);
            continue;
        }
        if (name == "exploration_schedule" && !start.is_none() && !end.is_none() && !fraction.is_none()) {
            supplied[key] = utils.attr("LinearSchedule")(start, end, fraction);
            continue;
        }
        py::bytes blob = base64.attr("b64decode")(value[py::str(":serialized:")]);
        py::object object = unpickle_bytes(name == "policy_class" ? *policies : *settings, blob, label);
        if (name == "policy_class" && !py::isinstance(object, py::module_::import("builtins").attr("type"))) {
            raise(unpickling_error().ptr(), py::str(label).cast<std::string>() + ": the policy entry is not a class");
        }
        supplied[key] = object;
    }
    return supplied;
}

}  // namespace

py::object load_fitted_objects(const py::object& path) {
    auto numpy_pickle = py::module_::import("joblib.numpy_pickle");
    static py::object* unpickler_class = new py::object(allow_list_unpickler_class(
        "live_pilot", "_ArtefactUnpickler", numpy_pickle.attr("NumpyUnpickler"), fitted_objects()));
    py::object result;
    with_file(path, "rb", [&](py::object file) {
        // joblib's own reader of the file's container (plain or compressed); its arrays are read
        // by the unpickler as the pickle reaches them.
        py::object opened = numpy_pickle.attr("_validate_fileobject_and_memmap")(file, path, py::none());
        py::object stream = opened.attr("__enter__")()[py::int_(0)];
        try {
            if (py::isinstance<py::str>(stream)) {
                raise(unpickling_error().ptr(), py::str(path).cast<std::string>() +
                                                    ": written by a joblib older than 0.10, which keeps arrays in "
                                                    "companion files; save it again");
            }
            // Arrays come in the host's byte order, as joblib.load gives them.
            py::object unpickler = (*unpickler_class)(path, stream, true);
            unpickler.attr("_corvane_filename") = path;
            result = unpickler.attr("load")();
        } catch (...) {
            opened.attr("__exit__")(py::none(), py::none(), py::none());
            throw;
        }
        opened.attr("__exit__")(py::none(), py::none(), py::none());
    });
    return result;
}

py::object load_agent(const py::object& dqn, const py::object& path) {
    // The library's own naming: the path as given, else with ".zip" added.
    auto os_path = py::module_::import("os").attr("path");
    py::str archive_path = os_path.attr("exists")(path).cast<bool>() ? py::str(path) : py::str(path) + py::str(kAgentArchiveSuffix);
    py::bytes content;
    with_file(archive_path, "rb", [&](py::object file) { content = file.attr("read")(); });
    // The archive is read once; the library loads from these bytes, not from the file again.
    auto io = py::module_::import("io");
    auto zipfile = py::module_::import("zipfile");
    py::dict supplied;
    // Anything but a zip archive is left to the library, which reports it.
    if (!zipfile.attr("is_zipfile")(io.attr("BytesIO")(content)).cast<bool>()) {
        return dqn.attr("load")(io.attr("BytesIO")(content), py::arg("custom_objects") = supplied);
    }
    py::object archive = zipfile.attr("ZipFile")(io.attr("BytesIO")(content));
    try {
        if (archive.attr("namelist")().attr("__contains__")("data").cast<bool>()) {
            py::object text = archive.attr("read")("data").attr("decode")();
            py::object data = py::module_::import("json").attr("loads")(text);
            if (py::isinstance<py::dict>(data)) supplied = supplied_objects(data, archive_path);
        }
    } catch (...) {
        archive.attr("close")();
        throw;
    }
    archive.attr("close")();
    return dqn.attr("load")(io.attr("BytesIO")(content), py::arg("custom_objects") = supplied);
}

}  // namespace corvane::live_pilot

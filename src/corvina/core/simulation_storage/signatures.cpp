// One table per function: the single source of its calling interface and
// documentation.
#include "bodies.hpp"

namespace css {

namespace {

constexpr Default R = Default::Required;
constexpr const char* kOptStr = "str | None";
constexpr const char* kDictAny = "dict[str, Any]";

// The first five identity fields, alike wherever the identity is taken.
#define CSS_IDENTITY_HEAD                                                                       \
    {"component_name", Check::Str, R, "str", "Name of the component."},                         \
    {"factory_name", Check::Str, R, "str", "Name of the factory."},                             \
    {"component_settings", Check::Dict, R, kDictAny, "Component settings dictionary."},         \
    {"model_parameters", Check::Dict, R, kDictAny, "Model parameters dictionary."},             \
    {"hyperparameters", Check::Any, R, "SimulationHyperparameters",                             \
     "Simulation hyperparameters."},

constexpr Param compute_id_params[] = {
    CSS_IDENTITY_HEAD
    {"simulation_type", Check::Str, R, "str", "Type of simulation."},
};

constexpr Param file_path_params[] = {
    {"simulation_type", Check::Str, R, "str", "Type of simulation."},
    {"component_name", Check::Str, R, "str", "Name of the component."},
    {"simulation_id", Check::Str, R, "str", "The simulation ID."},
};

constexpr Param by_id_params[] = {
    {"simulation_id", Check::Str, R, "str", "The unique simulation ID."},
};

constexpr Param save_params[] = {
    CSS_IDENTITY_HEAD
    {"simulation_type", Check::Any, R, "SimulationType", "Type of simulation."},
    {"result", Check::Any, R, "SerializedSimulationResult", "Serialized simulation result."},
    {"wavelengths", Check::List, R, "list[float]", "List of wavelengths used."},
    {"execution_time_seconds", Check::Double, R, "float", "Execution time in seconds."},
    {"status", Check::Any, Default::Success, "SimulationStatus",
     "Status of the simulation (\"success\" or \"error\")."},
    {"error_message", Check::Str, Default::Empty, "str", "Error message if status is \"error\"."},
    {"pdk_version", Check::Str, Default::Empty, "str", "Version of the PDK used."},
};

constexpr Param find_params[] = {
    CSS_IDENTITY_HEAD
    {"simulation_type", Check::Any, R, "SimulationType", "Type of simulation."},
};

constexpr Param matches_params[] = {
    {"result", Check::Any, R, "StoredSimulationResult", nullptr},
    {"component_name", Check::StrOrNone, R, kOptStr, nullptr},
    {"factory_name", Check::StrOrNone, R, kOptStr, nullptr},
    {"pdk_name", Check::StrOrNone, R, kOptStr, nullptr},
    {"status", Check::StrOrNone, R, kOptStr, nullptr},
};

constexpr Param list_params[] = {
    {"component_name", Check::StrOrNone, Default::None, kOptStr, "Filter by component name."},
    {"factory_name", Check::StrOrNone, Default::None, kOptStr, "Filter by factory name."},
    {"simulation_type", Check::StrOrNone, Default::None, kOptStr, "Filter by simulation type."},
    {"pdk_name", Check::StrOrNone, Default::None, kOptStr, "Filter by PDK name."},
    {"status", Check::StrOrNone, Default::None, kOptStr, "Filter by status."},
};

constexpr Param clear_params[] = {
    {"component_name", Check::StrOrNone, Default::None, kOptStr, "Filter by component name."},
    {"factory_name", Check::StrOrNone, Default::None, kOptStr, "Filter by factory name."},
    {"simulation_type", Check::StrOrNone, Default::None, kOptStr, "Filter by simulation type."},
    {"pdk_name", Check::StrOrNone, Default::None, kOptStr, "Filter by PDK name."},
};

constexpr Param get_or_compute_params[] = {
    CSS_IDENTITY_HEAD
    {"simulation_type", Check::Any, R, "SimulationType", "Type of simulation."},
    {.name = "compute",
     .check = Check::Callable,
     .dflt = R,
     .annotation = "Callable[[], SimulationOutcome]",
     .meaning = "Runs the solver (no arguments); returns the outcome: a mapping with\n"
                "        \"result\" and \"wavelengths\", optionally \"status\", \"error_message\",\n"
                "        \"execution_time_seconds\" and \"pdk_version\" (or an object with\n"
                "        these attributes). Without a time, the call is timed."},
    {.name = "lease",
     .check = Check::Double,
     .dflt = Default::Number,
     .annotation = "float",
     .meaning = "Seconds without a heartbeat after which a claim is stale and\n"
                "        another worker takes it over.",
     .number = 60.0},
    {.name = "wait",
     .check = Check::DoubleOrNone,
     .dflt = Default::None,
     .annotation = "float | None",
     .meaning = "Seconds to wait at most for another worker's result (None: no\n"
                "        bound); past it, TimeoutError names the holder."},
    {.name = "store_errors",
     .check = Check::Any,
     .dflt = Default::False,
     .annotation = "bool",
     .meaning = "Save a failure of compute as a result with status \"error\"\n"
                "        (the exception still reaches this caller)."},
};

constexpr Param sort_key_params[] = {
    {"r", Check::Any, R, "", nullptr},
};

#undef CSS_IDENTITY_HEAD

template <size_t N>
constexpr int count(const Param (&)[N]) {
    return static_cast<int>(N);
}

const Signature compute_id_sig{
    "_compute_simulation_id", "_compute_simulation_id", false, compute_id_params,
    count(compute_id_params), "str",
    "Compute a deterministic hash-based ID for a simulation.",
    "The ID is computed from the identity fields only, ensuring that\n"
    "the same inputs always produce the same ID.",
    true, "16-character hex string from SHA-256 hash.", compute_simulation_id, 40};

const Signature file_path_sig{
    "_get_simulation_file_path", "_get_simulation_file_path", false, file_path_params,
    count(file_path_params), "Path", "Get the file path for a simulation result.", nullptr, true,
    "Path to the simulation result file.", get_simulation_file_path, 80};

const Signature find_file_sig{
    "_find_simulation_file", "_find_simulation_file", false, by_id_params, count(by_id_params),
    "Path | None", "Find a simulation result file by its ID.",
    "Scans all simulation type directories to find the file.", true,
    "Path to the simulation file if found, None otherwise.", find_simulation_file, 104};

const Signature save_sig{
    "save_simulation_result", "save_simulation_result", true, save_params, count(save_params),
    "StoredSimulationResult", "Save a simulation result to file.", nullptr, true,
    "The stored simulation result with computed ID.", save_simulation_result, 130};

const Signature load_sig{
    "load_simulation_result", "load_simulation_result", false, by_id_params, count(by_id_params),
    "StoredSimulationResult | None", "Load a simulation result by its ID.", nullptr, true,
    "StoredSimulationResult if found, None otherwise.", load_simulation_result, 210};

const Signature find_sig{
    "find_simulation_result", "find_simulation_result", true, find_params, count(find_params),
    "StoredSimulationResult | None", "Find a cached simulation result by its identity fields.",
    "This computes the deterministic ID from the inputs and looks up\n"
    "the corresponding result.",
    true, "StoredSimulationResult if found, None otherwise.", find_simulation_result, 236};

const Signature matches_sig{
    "_matches_filters", "_matches_filters", false, matches_params, count(matches_params), "bool",
    "Check if a result matches the given filters.", nullptr, false, nullptr, matches_filters, 275};

const Signature list_sig{
    "list_simulation_results", "list_simulation_results", true, list_params, count(list_params),
    "list[StoredSimulationResult]", "List simulation results with optional filters.",
    "Scans the filesystem for simulation result files and filters them.", true,
    "List of matching StoredSimulationResult objects.", list_simulation_results, 293};

const Signature delete_sig{
    "delete_simulation_result", "delete_simulation_result", false, by_id_params,
    count(by_id_params), "bool", "Delete a simulation result by its ID.", nullptr, true,
    "True if the result was deleted, False otherwise.", delete_simulation_result, 351};

const Signature clear_sig{
    "clear_simulation_results", "clear_simulation_results", true, clear_params,
    count(clear_params), "int", "Clear simulation results with optional filters.", nullptr, true,
    "Number of results deleted.", clear_simulation_results, 373};

const Signature get_or_compute_sig{
    .name = "get_or_compute_simulation_result",
    .qualname = "get_or_compute_simulation_result",
    .kwonly = true,
    .params = get_or_compute_params,
    .nparams = count(get_or_compute_params),
    .return_annotation = "StoredSimulationResult",
    .summary = "Find a simulation result, or compute and save it, once across every worker.",
    .description =
        "On a miss the simulation is claimed in the store: the one worker holding\n"
        "the claim runs compute and saves the outcome; workers that find the claim\n"
        "wait for its result, and take the claim over when its holder stops\n"
        "sending heartbeats for a whole lease.",
    .args_section = true,
    .returns = "The stored simulation result (found, computed here, or computed by\n"
               "    the worker that held the claim).",
    .body = get_or_compute_simulation_result,
    .lineno = 420,
};

}  // namespace

const Signature kSortKey{
    "lambda", "list_simulation_results.<locals>.<lambda>", false, sort_key_params,
    count(sort_key_params), nullptr, nullptr, nullptr, false, nullptr, sort_key, 345};

const Signature* const kFunctions[11] = {
    &compute_id_sig, &file_path_sig, &find_file_sig, &save_sig,  &load_sig,
    &find_sig,       &matches_sig,   &list_sig,      &delete_sig, &clear_sig,
    &get_or_compute_sig,
};

}  // namespace css

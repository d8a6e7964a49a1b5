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

constexpr Param query_params[] = {
    {"where", Check::DictOrNone, Default::None, "dict[str, Any] | None",
     "The query: field paths and the conditions they meet (every record if None)."},
    {"sort", Check::StrOrNone, Default::None, kOptStr,
     "Field path to sort by, ascending; \"-\" in front for descending (newest first if None)."},
    {"limit", Check::IntOrNone, Default::None, "int | None", "Most records to return (all if None)."},
    {"component_name", Check::StrOrNone, Default::None, kOptStr, "Filter by component name."},
    {"factory_name", Check::StrOrNone, Default::None, kOptStr, "Filter by factory name."},
    {"simulation_type", Check::StrOrNone, Default::None, kOptStr, "Filter by simulation type."},
    {"pdk_name", Check::StrOrNone, Default::None, kOptStr, "Filter by PDK name."},
    {"status", Check::StrOrNone, Default::None, kOptStr, "Filter by status."},
};

constexpr Param check_query_params[] = {
    {"where", Check::DictOrNone, R, "dict[str, Any] | None", "The query to check."},
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

const Signature query_sig{
    .name = "query_simulation_results",
    .qualname = "query_simulation_results",
    .kwonly = true,
    .params = query_params,
    .nparams = count(query_params),
    .return_annotation = "list[StoredSimulationResult]",
    .summary = "Query simulation results on any field of their records.",
    .description =
        "The query maps dotted field paths (component_settings.gap) to a value\n"
        "they equal or to operators ($ne, $gt, $gte, $lt, $lte, $in, $nin,\n"
        "$exists, $regex, $near), combined with $and, $or and $not. It is\n"
        "checked whole before any file is read: a malformed query is a ValueError.",
    .args_section = true,
    .returns = "List of matching StoredSimulationResult objects.",
    .body = query_simulation_results,
    .lineno = 400,
};

const Signature check_query_sig{
    .name = "check_query",
    .qualname = "check_query",
    .kwonly = false,
    .params = check_query_params,
    .nparams = count(check_query_params),
    .return_annotation = "None",
    .summary = "Check a query without running it.",
    .description = "Raises ValueError naming the offending part of a malformed query.",
    .args_section = true,
    .returns = "None.",
    .body = check_query,
    .lineno = 460,
};

}  // namespace

const Signature kSortKey{
    "lambda", "list_simulation_results.<locals>.<lambda>", false, sort_key_params,
    count(sort_key_params), nullptr, nullptr, nullptr, false, nullptr, sort_key, 345};

const Signature* const kFunctions[12] = {
    &compute_id_sig, &file_path_sig, &find_file_sig, &save_sig,  &load_sig,
    &find_sig,       &matches_sig,   &list_sig,      &delete_sig, &clear_sig,
    &query_sig,      &check_query_sig,
};

}  // namespace css

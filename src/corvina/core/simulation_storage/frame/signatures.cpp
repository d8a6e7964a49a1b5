// One table per function: the single source of its calling interface and
// documentation.
#include "frame/bodies.hpp"
#include "frame/function.hpp"
#include "frame/signature.hpp"

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

constexpr Param sort_key_params[] = {
    {"r", Check::Any, R, "", nullptr},
};

#undef CSS_IDENTITY_HEAD

template <size_t N>
constexpr int count(const Param (&)[N]) {
    return static_cast<int>(N);
}

const Signature compute_id_sig{
    .name = "_compute_simulation_id",
    .qualname = "_compute_simulation_id",
    .kwonly = false,
    .params = compute_id_params,
    .nparams = count(compute_id_params),
    .return_annotation = "str",
    .summary = "Compute a deterministic hash-based ID for a simulation.",
    .description = "The ID is computed from the identity fields only, ensuring that\n"
                   "the same inputs always produce the same ID.",
    .args_section = true,
    .returns = "16-character hex string from SHA-256 hash.",
    .body = compute_simulation_id,
    .lineno = 40,
};

const Signature file_path_sig{
    .name = "_get_simulation_file_path",
    .qualname = "_get_simulation_file_path",
    .kwonly = false,
    .params = file_path_params,
    .nparams = count(file_path_params),
    .return_annotation = "Path",
    .summary = "Get the file path for a simulation result.",
    .description = nullptr,
    .args_section = true,
    .returns = "Path to the simulation result file.",
    .body = get_simulation_file_path,
    .lineno = 80,
};

const Signature find_file_sig{
    .name = "_find_simulation_file",
    .qualname = "_find_simulation_file",
    .kwonly = false,
    .params = by_id_params,
    .nparams = count(by_id_params),
    .return_annotation = "Path | None",
    .summary = "Find a simulation result file by its ID.",
    .description = "Scans all simulation type directories to find the file.",
    .args_section = true,
    .returns = "Path to the simulation file if found, None otherwise.",
    .body = find_simulation_file,
    .lineno = 104,
};

const Signature save_sig{
    .name = "save_simulation_result",
    .qualname = "save_simulation_result",
    .kwonly = true,
    .params = save_params,
    .nparams = count(save_params),
    .return_annotation = "StoredSimulationResult",
    .summary = "Save a simulation result to file.",
    .description = nullptr,
    .args_section = true,
    .returns = "The stored simulation result with computed ID.",
    .body = save_simulation_result,
    .lineno = 130,
};

const Signature load_sig{
    .name = "load_simulation_result",
    .qualname = "load_simulation_result",
    .kwonly = false,
    .params = by_id_params,
    .nparams = count(by_id_params),
    .return_annotation = "StoredSimulationResult | None",
    .summary = "Load a simulation result by its ID.",
    .description = nullptr,
    .args_section = true,
    .returns = "StoredSimulationResult if found, None otherwise.",
    .body = load_simulation_result,
    .lineno = 210,
};

const Signature find_sig{
    .name = "find_simulation_result",
    .qualname = "find_simulation_result",
    .kwonly = true,
    .params = find_params,
    .nparams = count(find_params),
    .return_annotation = "StoredSimulationResult | None",
    .summary = "Find a cached simulation result by its identity fields.",
    .description = "This computes the deterministic ID from the inputs and looks up\n"
                   "the corresponding result.",
    .args_section = true,
    .returns = "StoredSimulationResult if found, None otherwise.",
    .body = find_simulation_result,
    .lineno = 236,
};

const Signature matches_sig{
    .name = "_matches_filters",
    .qualname = "_matches_filters",
    .kwonly = false,
    .params = matches_params,
    .nparams = count(matches_params),
    .return_annotation = "bool",
    .summary = "Check if a result matches the given filters.",
    .description = nullptr,
    .args_section = false,
    .returns = nullptr,
    .body = matches_filters,
    .lineno = 275,
};

const Signature list_sig{
    .name = "list_simulation_results",
    .qualname = "list_simulation_results",
    .kwonly = true,
    .params = list_params,
    .nparams = count(list_params),
    .return_annotation = "list[StoredSimulationResult]",
    .summary = "List simulation results with optional filters.",
    .description = "Scans the filesystem for simulation result files and filters them.",
    .args_section = true,
    .returns = "List of matching StoredSimulationResult objects.",
    .body = list_simulation_results,
    .lineno = 293,
};

const Signature delete_sig{
    .name = "delete_simulation_result",
    .qualname = "delete_simulation_result",
    .kwonly = false,
    .params = by_id_params,
    .nparams = count(by_id_params),
    .return_annotation = "bool",
    .summary = "Delete a simulation result by its ID.",
    .description = nullptr,
    .args_section = true,
    .returns = "True if the result was deleted, False otherwise.",
    .body = delete_simulation_result,
    .lineno = 351,
};

const Signature clear_sig{
    .name = "clear_simulation_results",
    .qualname = "clear_simulation_results",
    .kwonly = true,
    .params = clear_params,
    .nparams = count(clear_params),
    .return_annotation = "int",
    .summary = "Clear simulation results with optional filters.",
    .description = nullptr,
    .args_section = true,
    .returns = "Number of results deleted.",
    .body = clear_simulation_results,
    .lineno = 373,
};

}  // namespace

// No docstring and no annotations: a lambda's.
const Signature kSortKey{
    .name = "lambda",
    .qualname = "list_simulation_results.<locals>.<lambda>",
    .kwonly = false,
    .params = sort_key_params,
    .nparams = count(sort_key_params),
    .return_annotation = nullptr,
    .summary = nullptr,
    .description = nullptr,
    .args_section = false,
    .returns = nullptr,
    .body = sort_key,
    .lineno = 345,
};

const Signature* const kFunctions[10] = {
    &compute_id_sig, &file_path_sig, &find_file_sig, &save_sig,  &load_sig,
    &find_sig,       &matches_sig,   &list_sig,      &delete_sig, &clear_sig,
};

}  // namespace css

// One table per function: the single source of its calling interface and
// documentation.
#include "claims/bodies.hpp"
#include "frame/function.hpp"
#include "frame/signature.hpp"
#include "module/parameters.hpp"
#include "module/signatures.hpp"
#include "store/bodies.hpp"

namespace css {

namespace {

using namespace params;

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

const Signature claim_unless_held_sig{
    .name = "_claim_unless_held",
    .qualname = "_claim_unless_held",
    .kwonly = true,
    .params = claim_unless_held_params,
    .nparams = count(claim_unless_held_params),
    .return_annotation = "StoredSimulationResult | None",
    .summary = "Claim a simulation that a look at the sweep found missing, and compute it.",
    .description =
        "No lookup comes first: once the claim is won, the result is looked for\n"
        "once, then computed and saved. Nothing waits for another worker.",
    .args_section = true,
    .returns = "The stored result, or None when another worker holds the claim.",
    .body = claim_unless_held,
    .lineno = 480,
};

const Signature lookup_sweep_sig{
    .name = "_lookup_sweep",
    .qualname = "_lookup_sweep",
    .kwonly = false,
    .params = lookup_sweep_params,
    .nparams = count(lookup_sweep_params),
    .return_annotation = "list[StoredSimulationResult | bool | None] | None",
    .summary = "Look at every point of a sweep with one listing of the store.",
    .description =
        "Served where one listing answers for the whole store (object stores on\n"
        "the batch path); elsewhere None, and the points are looked up one by one.",
    .args_section = true,
    .returns = "Per point its stored result, True where only a claim announces it,\n"
               "    or None; None for the whole sweep where the listing cannot answer.",
    .body = lookup_sweep,
    .lineno = 500,
};

const Signature query_sig{
    .name = "query_simulation_results",
    .qualname = "query_simulation_results",
    .kwonly = true,
    .params = query_params,
    .nparams = count(query_params),
    .return_annotation = "list[StoredSimulationResult] | list[dict[str, Any]]",
    .summary = "Query simulation results on any field of their records.",
    .description =
        "The query maps dotted field paths (component_settings.gap) to a value\n"
        "they equal or to operators ($ne, $gt, $gte, $lt, $lte, $in, $nin,\n"
        "$exists, $regex, $near), combined with $and, $or and $not. It is\n"
        "checked whole before any file is read: a malformed query is a ValueError.",
    .args_section = true,
    .returns = "List of matching StoredSimulationResult objects, or with fields a\n"
               "    dict per match of its simulation_id and each asked path it holds.",
    .body = query_simulation_results,
    .lineno = 400,
};

const Signature count_sig{
    .name = "count_simulation_results",
    .qualname = "count_simulation_results",
    .kwonly = true,
    .params = count_params,
    .nparams = count(count_params),
    .return_annotation = "int",
    .summary = "Count the simulation results a query matches.",
    .description =
        "The number of records query_simulation_results would return for the\n"
        "same query and filters, with the same warnings for bad files.",
    .args_section = true,
    .returns = "The number of matching records.",
    .body = count_simulation_results,
    .lineno = 440,
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

const Signature temporary_name_sig{
    .name = "_temporary_name",
    .qualname = "_temporary_name",
    .kwonly = false,
    .params = temporary_name_params,
    .nparams = count(temporary_name_params),
    .return_annotation = "str",
    .summary = "A fresh name for a temporary file beside a file, as saves name theirs.",
    .description = "The name is cut to its first 200 bytes so that the temporary name fits\n"
                   "in a file name; verify knows a leftover one by its form.",
    .args_section = true,
    .returns = "\".\" + the name cut + \".\" + 16 hex digits + \".tmp\".",
    .body = temporary_name,
    .lineno = 520,
};

const Signature write_atomically_sig{
    .name = "_write_atomically",
    .qualname = "_write_atomically",
    .kwonly = false,
    .params = write_atomically_params,
    .nparams = count(write_atomically_params),
    .return_annotation = "None",
    .summary = "Write a whole local file so that readers see the old bytes or the new.",
    .description = "The bytes go to a temporary file beside it, renamed over it; the\n"
                   "temporary file does not survive a failure.",
    .args_section = true,
    .returns = "None.",
    .body = write_atomically,
    .lineno = 540,
};

const Signature parse_file_name_sig{
    .name = "_parse_file_name",
    .qualname = "_parse_file_name",
    .kwonly = false,
    .params = parse_file_name_params,
    .nparams = count(parse_file_name_params),
    .return_annotation = "tuple[str, str | None, str | None, int | None] | None",
    .summary = "What the store makes of a file name in its layout.",
    .description = "A result \"<component>_<ID>.json\", a claim\n"
                   "\".<component>_<ID>.<generation>.claim\" or the temporary file of a\n"
                   "write in flight; None for any other name.",
    .args_section = true,
    .returns = "(kind, component, ID, generation), kind \"result\", \"claim\" or\n"
               "    \"temporary\", None for the parts its kind has not; or None.",
    .body = parse_file_name,
    .lineno = 560,
};

const Signature claim_file_name_sig{
    .name = "_claim_file_name",
    .qualname = "_claim_file_name",
    .kwonly = false,
    .params = claim_file_name_params,
    .nparams = count(claim_file_name_params),
    .return_annotation = "str",
    .summary = "The name of a claim's file of one generation, as compute-once makes it.",
    .description = "A stem \"<component>_<ID>\" too long for a file name with any\n"
                   "generation leaves the component out, for every generation alike.",
    .args_section = true,
    .returns = "\".<component>_<ID>.<generation>.claim\", or \"._<ID>.<generation>.claim\".",
    .body = claim_file_name,
    .lineno = 580,
};

}  // namespace

const Signature* const kFunctions[20] = {
    &compute_id_sig, &file_path_sig,   &find_file_sig,      &save_sig,
    &load_sig,       &find_sig,        &matches_sig,        &list_sig,
    &delete_sig,     &clear_sig,       &query_sig,          &check_query_sig,
    &get_or_compute_sig, &claim_unless_held_sig, &lookup_sweep_sig, &count_sig,
    &temporary_name_sig, &write_atomically_sig, &parse_file_name_sig, &claim_file_name_sig,
};

}  // namespace css

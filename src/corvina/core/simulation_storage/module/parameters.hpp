// The parameter lists of the module's functions, and the check that the
// positions the bodies read their arguments by (store/bodies.hpp,
// claims/bodies.hpp) name the parameters these lists hold there.
#pragma once

#include "claims/bodies.hpp"
#include "frame/signature.hpp"
#include "store/bodies.hpp"

#include <cstddef>
#include <initializer_list>
#include <string_view>

namespace css::params {

inline constexpr Default R = Default::Required;
inline constexpr const char* kOptStr = "str | None";
inline constexpr const char* kDictAny = "dict[str, Any]";

// The first five identity fields, alike wherever the identity is taken.
#define CSS_IDENTITY_HEAD                                                                       \
    {"component_name", Check::Str, R, "str", "Name of the component."},                         \
    {"factory_name", Check::Str, R, "str", "Name of the factory."},                             \
    {"component_settings", Check::Dict, R, kDictAny, "Component settings dictionary."},         \
    {"model_parameters", Check::Dict, R, kDictAny, "Model parameters dictionary."},             \
    {"hyperparameters", Check::Any, R, "SimulationHyperparameters",                             \
     "Simulation hyperparameters."},

inline constexpr Param compute_id_params[] = {
    CSS_IDENTITY_HEAD
    {"simulation_type", Check::Str, R, "str", "Type of simulation."},
};

inline constexpr Param file_path_params[] = {
    {"simulation_type", Check::Str, R, "str", "Type of simulation."},
    {"component_name", Check::Str, R, "str", "Name of the component."},
    {"simulation_id", Check::Str, R, "str", "The simulation ID."},
};

inline constexpr Param by_id_params[] = {
    {"simulation_id", Check::Str, R, "str", "The unique simulation ID."},
};

inline constexpr Param save_params[] = {
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

inline constexpr Param find_params[] = {
    CSS_IDENTITY_HEAD
    {"simulation_type", Check::Any, R, "SimulationType", "Type of simulation."},
};

inline constexpr Param matches_params[] = {
    {"result", Check::Any, R, "StoredSimulationResult", nullptr},
    {"component_name", Check::StrOrNone, R, kOptStr, nullptr},
    {"factory_name", Check::StrOrNone, R, kOptStr, nullptr},
    {"pdk_name", Check::StrOrNone, R, kOptStr, nullptr},
    {"status", Check::StrOrNone, R, kOptStr, nullptr},
};

inline constexpr Param list_params[] = {
    {"component_name", Check::StrOrNone, Default::None, kOptStr, "Filter by component name."},
    {"factory_name", Check::StrOrNone, Default::None, kOptStr, "Filter by factory name."},
    {"simulation_type", Check::StrOrNone, Default::None, kOptStr, "Filter by simulation type."},
    {"pdk_name", Check::StrOrNone, Default::None, kOptStr, "Filter by PDK name."},
    {"status", Check::StrOrNone, Default::None, kOptStr, "Filter by status."},
};

inline constexpr Param clear_params[] = {
    {"component_name", Check::StrOrNone, Default::None, kOptStr, "Filter by component name."},
    {"factory_name", Check::StrOrNone, Default::None, kOptStr, "Filter by factory name."},
    {"simulation_type", Check::StrOrNone, Default::None, kOptStr, "Filter by simulation type."},
    {"pdk_name", Check::StrOrNone, Default::None, kOptStr, "Filter by PDK name."},
};

inline constexpr Param get_or_compute_params[] = {
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

// get_or_compute's, without the wait.
inline constexpr Param claim_unless_held_params[] = {
    CSS_IDENTITY_HEAD
    {"simulation_type", Check::Any, R, "SimulationType", "Type of simulation."},
    {"compute", Check::Callable, R, "Callable[[], SimulationOutcome]", "Runs the solver."},
    {.name = "lease", .check = Check::Double, .dflt = Default::Number, .annotation = "float",
     .meaning = "Seconds without a heartbeat after which a claim is stale.", .number = 60.0},
    {"store_errors", Check::Any, Default::False, "bool",
     "Save a failure of compute as a result with status \"error\"."},
};

inline constexpr Param lookup_sweep_params[] = {
    {"points", Check::List, R, "list[tuple[str, str, str]]",
     "(simulation_type, component_name, simulation_id) of each point."},
};

inline constexpr Param query_params[] = {
    {"where", Check::DictOrNone, Default::None, "dict[str, Any] | None",
     "The query: field paths and the conditions they meet (every record if None)."},
    {"fields", Check::Any, Default::None, "list[str] | None",
     "Field paths to return, as a dict per match with its simulation_id (whole records if None)."},
    {"sort", Check::StrOrNone, Default::None, kOptStr,
     "Field path to sort by, ascending; \"-\" in front for descending (newest first if None)."},
    {"limit", Check::IntOrNone, Default::None, "int | None", "Most records to return (all if None)."},
    {"offset", Check::IntOrNone, Default::None, "int | None",
     "Matches to skip in the sorted order before the first returned (none if None)."},
    {"component_name", Check::StrOrNone, Default::None, kOptStr, "Filter by component name."},
    {"factory_name", Check::StrOrNone, Default::None, kOptStr, "Filter by factory name."},
    {"simulation_type", Check::StrOrNone, Default::None, kOptStr, "Filter by simulation type."},
    {"pdk_name", Check::StrOrNone, Default::None, kOptStr, "Filter by PDK name."},
    {"status", Check::StrOrNone, Default::None, kOptStr, "Filter by status."},
};

inline constexpr Param count_params[] = {
    {"where", Check::DictOrNone, Default::None, "dict[str, Any] | None",
     "The query, as query_simulation_results takes it (every record if None)."},
    {"component_name", Check::StrOrNone, Default::None, kOptStr, "Filter by component name."},
    {"factory_name", Check::StrOrNone, Default::None, kOptStr, "Filter by factory name."},
    {"simulation_type", Check::StrOrNone, Default::None, kOptStr, "Filter by simulation type."},
    {"pdk_name", Check::StrOrNone, Default::None, kOptStr, "Filter by PDK name."},
    {"status", Check::StrOrNone, Default::None, kOptStr, "Filter by status."},
};

inline constexpr Param temporary_name_params[] = {
    {"name", Check::Str, R, "str", "The name of the file to write."},
};

inline constexpr Param parse_file_name_params[] = {
    {"name", Check::Str, R, "str", "A file's name, as a listing of the store gives it."},
};

inline constexpr Param claim_file_name_params[] = {
    {"component_name", Check::Str, R, "str", "The component the result is of."},
    {"simulation_id", Check::Str, R, "str", "The result's ID."},
    {"generation", Check::Any, R, "int", "The claim's generation, from 0."},
};

inline constexpr Param write_atomically_params[] = {
    {"path", Check::Any, R, "str | os.PathLike[str]", "The local file to write."},
    {"data", Check::Any, R, "bytes", "Its whole new content."},
};

inline constexpr Param check_query_params[] = {
    {"where", Check::DictOrNone, R, "dict[str, Any] | None", "The query to check."},
};

#undef CSS_IDENTITY_HEAD

template <size_t Size>
constexpr int count(const Param (&)[Size]) {
    return static_cast<int>(Size);
}

// A position the bodies use, and the parameter it must name.
struct At {
    int position;
    const char* name;
};

template <size_t Size>
constexpr bool names_match(const Param (&params)[Size], std::initializer_list<At> positions) {
    for (const At& at : positions)
        if (at.position < 0 || static_cast<size_t>(at.position) >= Size ||
            std::string_view(params[at.position].name) != at.name)
            return false;
    return true;
}

namespace id = arg::identity;
// The identity fields, as every list that starts with them holds them.
#define CSS_IDENTITY_AT                                                                  \
    At{id::component_name, "component_name"}, At{id::factory_name, "factory_name"},      \
        At{id::component_settings, "component_settings"},                                \
        At{id::model_parameters, "model_parameters"},                                    \
        At{id::hyperparameters, "hyperparameters"}, At{id::simulation_type, "simulation_type"}

static_assert(names_match(compute_id_params, {CSS_IDENTITY_AT}));
static_assert(names_match(find_params, {CSS_IDENTITY_AT}));
static_assert(names_match(save_params,
                          {CSS_IDENTITY_AT, At{arg::save::result, "result"},
                           At{arg::save::wavelengths, "wavelengths"},
                           At{arg::save::execution_time_seconds, "execution_time_seconds"},
                           At{arg::save::status, "status"},
                           At{arg::save::error_message, "error_message"},
                           At{arg::save::pdk_version, "pdk_version"}}));
static_assert(names_match(get_or_compute_params,
                          {CSS_IDENTITY_AT, At{arg::get_or_compute::compute, "compute"},
                           At{arg::get_or_compute::lease, "lease"},
                           At{arg::get_or_compute::wait, "wait"},
                           At{arg::get_or_compute::store_errors, "store_errors"}}));
static_assert(names_match(claim_unless_held_params,
                          {CSS_IDENTITY_AT, At{arg::claim_unless_held::compute, "compute"},
                           At{arg::claim_unless_held::lease, "lease"},
                           At{arg::claim_unless_held::store_errors, "store_errors"}}));
#undef CSS_IDENTITY_AT
static_assert(names_match(file_path_params,
                          {At{arg::file_path::simulation_type, "simulation_type"},
                           At{arg::file_path::component_name, "component_name"},
                           At{arg::file_path::simulation_id, "simulation_id"}}));
static_assert(names_match(by_id_params, {At{arg::by_id::simulation_id, "simulation_id"}}));
static_assert(names_match(matches_params,
                          {At{arg::matches::result, "result"},
                           At{arg::matches::component_name, "component_name"},
                           At{arg::matches::factory_name, "factory_name"},
                           At{arg::matches::pdk_name, "pdk_name"},
                           At{arg::matches::status, "status"}}));
static_assert(names_match(list_params,
                          {At{arg::list::component_name, "component_name"},
                           At{arg::list::factory_name, "factory_name"},
                           At{arg::list::simulation_type, "simulation_type"},
                           At{arg::list::pdk_name, "pdk_name"}, At{arg::list::status, "status"}}));
static_assert(names_match(clear_params,
                          {At{arg::clear::component_name, "component_name"},
                           At{arg::clear::factory_name, "factory_name"},
                           At{arg::clear::simulation_type, "simulation_type"},
                           At{arg::clear::pdk_name, "pdk_name"}}));
static_assert(names_match(query_params,
                          {At{arg::query::where, "where"}, At{arg::query::fields, "fields"},
                           At{arg::query::sort, "sort"}, At{arg::query::limit, "limit"},
                           At{arg::query::offset, "offset"},
                           At{arg::query::component_name, "component_name"},
                           At{arg::query::factory_name, "factory_name"},
                           At{arg::query::simulation_type, "simulation_type"},
                           At{arg::query::pdk_name, "pdk_name"}, At{arg::query::status, "status"}}));
static_assert(names_match(count_params,
                          {At{arg::count::where, "where"},
                           At{arg::count::component_name, "component_name"},
                           At{arg::count::factory_name, "factory_name"},
                           At{arg::count::simulation_type, "simulation_type"},
                           At{arg::count::pdk_name, "pdk_name"}, At{arg::count::status, "status"}}));
static_assert(names_match(check_query_params, {At{arg::check_query::where, "where"}}));
static_assert(names_match(temporary_name_params, {At{arg::temporary_name::name, "name"}}));
static_assert(names_match(write_atomically_params,
                          {At{arg::write_atomically::path, "path"},
                           At{arg::write_atomically::data, "data"}}));
static_assert(names_match(parse_file_name_params, {At{arg::parse_file_name::name, "name"}}));
static_assert(names_match(claim_file_name_params,
                          {At{arg::claim_file_name::component_name, "component_name"},
                           At{arg::claim_file_name::simulation_id, "simulation_id"},
                           At{arg::claim_file_name::generation, "generation"}}));
static_assert(names_match(lookup_sweep_params, {At{arg::lookup_sweep::points, "points"}}));

}  // namespace css::params

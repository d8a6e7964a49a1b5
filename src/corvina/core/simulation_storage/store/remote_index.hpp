// The result index on a store named by URL whose file system lists every
// key with its size and ETag (S3), served by the batch path
// (remote/batch.hpp).
//
// Each query lists the store flat, as the batch path's walk does (one
// request per thousand keys), and brings the entries of the type
// directories it reads up to date with that listing: a key that is new, or
// whose ETag or size differs, is read again (in batches, one GET each); a
// key gone from the listing is forgotten; nothing else is read. An entry is
// vouched for by its ETag only when the bytes read are the ones that ETag
// names (their MD5, as S3 gives it for an object written in one request);
// any other (an object written in parts, a service whose ETags are not
// the MD5 of the object, bytes replaced between the listing and the read)
// is read again at every query.
//
// The bytes read are kept too, within a bound for the whole process, so
// that the records of a query are built without a request; past the bound,
// those used longest ago are dropped and read again when needed.
#pragma once

#include "frame/outcome.hpp"
#include "local/result_index.hpp"
#include "remote/listing.hpp"

#include <utility>
#include <vector>

namespace css::rindex {

// Brings the index of the store `root` up to date with one flat listing
// (into `s`), and gives its type directories (only the one
// `simulation_type` names, when it is not None) in the walk's order.
// Fallback (no error set): the walk answers, as it does for a store the
// batch path does not serve, a listing without ETags, or a key the index
// cannot vouch for (a directory named like a result, an empty object, one
// that cannot be read or is not a JSON object).
Outcome refresh_listed(remote::Store& s, PyObject* root, PyObject* simulation_type,
                       std::vector<Dir*>& dirs, const ReadHook* hook);

// The bytes of the entry in slot `slot` of the listed directory `d`: those
// kept since this query's listing vouched for them, else read now (one
// GET) and compared with what the entry holds.
Current listed_current(const remote::Store& s, Dir& d, uint32_t slot, Ref& bytes);

// Reads, in batches, the bytes of the listed entries among `wanted` that
// are not kept, and keeps those that are what their entries hold (the
// others are left to `listed_current`). false: an error is set.
bool fetch_listed(const remote::Store& s, const std::vector<std::pair<Dir*, uint32_t>>& wanted);


}  // namespace css::rindex

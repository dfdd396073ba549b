#pragma once
// SQLite before 3.42 refuses NaN and Infinity in JSON text ("malformed JSON"), while the
// tracker writes JSON as Python's json.dumps does: a metaparameter value of float('nan')
// is stored as NaN, and from then on every metaparameter filter, which runs json_extract
// over all rows, failed. On those versions the connection replaces json_extract(json, path)
// with one that reads everything the tracker writes; newer versions read NaN themselves.

#include <sqlite3.h>

namespace plintrove {

// Registers the replacement on `db` when the linked SQLite needs it.
void install_json_extract(sqlite3* db);

}  // namespace plintrove

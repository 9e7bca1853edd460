#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "teds/TEDSBasicDatasheet.h"
#include "teds/TEDSTemplate25.h"

// A TEDS data sheet as `teds encode` and `teds write` take it: JSON with the
// field names of `teds decode --json`, that is, one transducer object
//   {"basicTeds": {"manufacturerID": 100, ...},
//    "templates": [{"group": "standard", "sensRef": 0.01, ...}]}
// or a whole `teds decode --json` document holding exactly one transducer.
// Fields that only describe a decoded image (id, nodes, image, errors,
// report, name) are ignored; the texts that restate a value (calDateText,
// directionText, signText) must agree with it. calDate may be given as
// seconds or as "YYYY-MM-DD", direction as 0 to 2 or "X", "Y", "Z", sign as
// 0, 1, "POSITIVE" or "NEGATIVE". A null stands for a field left out.
struct DataSheet {
  TEDSBasicDatasheet basic;
  std::vector<TEDSTemplate25::Data> templates;
};

// A data sheet that cannot be used; the text names the field and the problem.
class DataSheetError : public std::runtime_error {
 public:
  explicit DataSheetError(const std::string& message);
};

// Reads a data sheet from JSON text, after applying `settings`, each
// "FIELD=VALUE": a Basic TEDS field or a field of the first template (made
// when the sheet has none). VALUE is read as JSON when it is JSON (numbers,
// true, false, null) and as text otherwise (ABC, 2024-05-01, B).
// An empty `text` starts from an empty sheet, so that settings alone can
// give every field. `source` names the sheet in messages.
DataSheet ParseDataSheet(const std::string& text, const std::string& source,
                         const std::vector<std::string>& settings);

#include "tools/teds/DataSheet.h"

#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <set>

#include "teds/TEDSEncoder.h"
#include "teds/Template25Fields.h"

namespace {

using Json = nlohmann::json;

// A data sheet is a few levels deep; anything deeper is refused before a
// value is looked at, so that nothing walks a deep value recursively.
constexpr std::size_t kMaxDepth = 16;
// Messages quote at most this many bytes of a bad value.
constexpr std::size_t kExcerptBytes = 40;

// A key as a message names it: cut after a few bytes, like a bad value.
std::string KeyName(const std::string& key) {
  if (key.size() <= kExcerptBytes) return key;
  std::size_t cut = kExcerptBytes - 3;
  while (cut > 0 && (static_cast<unsigned char>(key[cut]) & 0xC0) == 0x80) --cut;
  return key.substr(0, cut) + "...";
}

std::string Join(const std::string& path, const std::string& key) {
  return path.empty() ? KeyName(key) : path + "." + KeyName(key);
}

// A value as messages quote it: scalars as JSON (texts with malformed UTF-8
// shown with replacement characters), cut after a few bytes; arrays and
// objects only by their brackets.
std::string Excerpt(const Json& value) {
  if (value.is_array()) return value.empty() ? "[]" : "[...]";
  if (value.is_object()) return value.empty() ? "{}" : "{...}";
  std::string text = value.dump(-1, ' ', false, Json::error_handler_t::replace);
  if (text.size() <= kExcerptBytes) return text;
  std::size_t cut = kExcerptBytes - 3;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return text.substr(0, cut) + "...";
}

// One pass over the text as parser events before it is parsed for good:
// refuses a key given twice in one object (the parser would keep the last
// one silently), nesting deeper than kMaxDepth, and every syntax error,
// each named by the field it is in and, for syntax errors, the place.
class SheetChecker {
 public:
  bool null() { return NextElement(); }
  bool boolean(bool) { return NextElement(); }
  bool number_integer(Json::number_integer_t) { return NextElement(); }
  bool number_unsigned(Json::number_unsigned_t) { return NextElement(); }
  bool number_float(Json::number_float_t, const Json::string_t&) { return NextElement(); }
  bool string(Json::string_t&) { return NextElement(); }
  bool binary(Json::binary_t&) { return NextElement(); }
  bool start_object(std::size_t) { return Open(true); }
  bool start_array(std::size_t) { return Open(false); }
  bool end_object() { return Close(); }
  bool end_array() { return Close(); }
  bool key(Json::string_t& key) {
    Level& level = levels.back();
    level.key = key;
    if (!level.keys.insert(key).second) Fail(Join(level.field, key), "given twice");
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) {
    // "[json.exception.parse_error.101] parse error at line 1, column 9:
    // syntax error ...": the place and the problem, without the prefix.
    std::string what = e.what();
    const std::size_t at = what.find(" at line ");
    if (at != std::string::npos) {
      what = "not valid JSON at" + what.substr(at + 3);
    } else {
      const std::size_t close = what.find("] ");
      if (close != std::string::npos) what = "not valid JSON: " + what.substr(close + 2);
    }
    // The parser quotes what it read last, which may be long or not UTF-8.
    const std::size_t lastRead = what.find("; last read: ");
    if (lastRead != std::string::npos) what.erase(lastRead);
    Fail(Here(), what);
  }

 private:
  struct Level {
    bool object;
    std::string field;
    std::set<std::string> keys;
    std::string key;        // object: the key being read
    std::size_t index = 0;  // array: the element being read
  };

  [[noreturn]] static void Fail(const std::string& field, const std::string& problem) {
    throw DataSheetError((field.empty() ? "" : field + ": ") + problem);
  }
  // The field being read.
  std::string Here() const {
    if (levels.empty()) return "";
    const Level& level = levels.back();
    return level.object ? Join(level.field, level.key)
                        : level.field + "[" + std::to_string(level.index) + "]";
  }
  bool Open(bool object) {
    const std::string field = Here();
    if (levels.size() >= kMaxDepth) {
      Fail(field, "nested deeper than " + std::to_string(kMaxDepth) + " levels");
    }
    levels.push_back(Level{object, field, {}, {}, 0});
    return true;
  }
  bool Close() {
    levels.pop_back();
    return NextElement();
  }
  bool NextElement() {
    if (!levels.empty() && !levels.back().object) ++levels.back().index;
    return true;
  }

  std::vector<Level> levels;
};

Json ParseSheetText(const std::string& text) {
  if (text.empty()) return Json::object();
  SheetChecker checker;
  Json::sax_parse(text, &checker);
  return Json::parse(text);
}

// One JSON object being read: every key must be read or ignored, so that a
// misspelt field is an error rather than a value silently left out.
class ObjectReader {
 public:
  ObjectReader(const Json& object, std::string path) : object(object), path(std::move(path)) {
    if (!object.is_object()) Fail("", "must be a JSON object");
  }

  [[noreturn]] void Fail(const std::string& key, const std::string& problem) const {
    const std::string where = key.empty() ? path : Join(path, key);
    throw DataSheetError((where.empty() ? "" : where + ": ") + problem);
  }

  // The value, or null when the key is absent or null.
  const Json* Find(const std::string& key) {
    known.insert(key);
    const auto it = object.find(key);
    return it == object.end() || it->is_null() ? nullptr : &*it;
  }
  const Json& Require(const std::string& key) {
    const Json* value = Find(key);
    if (value == nullptr) Fail(key, "missing");
    return *value;
  }

  // An unsigned integer of `width` bits.
  uint32_t Unsigned(const std::string& key, unsigned width) {
    const Json& value = Require(key);
    const uint64_t top = (uint64_t{1} << width) - 1;
    const bool whole =
        value.is_number_unsigned() || (value.is_number_integer() && value.get<int64_t>() >= 0);
    if (!whole) {
      Fail(key, Excerpt(value) + " is not a whole number from 0 to " + std::to_string(top));
    }
    const uint64_t number = value.get<uint64_t>();
    if (number > top) {
      Fail(key, std::to_string(number) + " is outside 0 to " + std::to_string(top));
    }
    return static_cast<uint32_t>(number);
  }
  double Number(const std::string& key) {
    const Json& value = Require(key);
    if (!value.is_number()) Fail(key, Excerpt(value) + " is not a number");
    return value.get<double>();
  }
  std::string Text(const std::string& key) {
    const Json& value = Require(key);
    if (!value.is_string()) Fail(key, Excerpt(value) + " is not a text");
    return value.get<std::string>();
  }
  bool Flag(const std::string& key) {
    const Json* value = Find(key);
    if (value == nullptr) return false;
    if (!value->is_boolean()) Fail(key, Excerpt(*value) + " is not true or false");
    return value->get<bool>();
  }
  // A value given as a number or as one of `names` (their index).
  uint32_t Choice(const std::string& key, const std::vector<std::string>& names) {
    const Json& value = Require(key);
    for (std::size_t i = 0; value.is_string() && i < names.size(); ++i) {
      if (value.get<std::string>() == names[i]) return static_cast<uint32_t>(i);
    }
    if (value.is_string()) Fail(key, Excerpt(value) + " is none of " + List(names));
    return Unsigned(key, 32);
  }
  // A text that restates a value read before: it must agree with it.
  void Restates(const std::string& key, const std::string& expected) {
    const Json* value = Find(key);
    if (value != nullptr && (!value->is_string() || value->get<std::string>() != expected)) {
      Fail(key, Excerpt(*value) + " disagrees with the value it restates (\"" + expected + "\")");
    }
  }
  void Ignore(std::initializer_list<const char*> keys) {
    for (const char* key : keys) known.insert(key);
  }
  void RejectUnknown() const {
    for (auto it = object.begin(); it != object.end(); ++it) {
      if (known.count(it.key()) == 0) Fail(it.key(), "unknown field");
    }
  }
  const std::string& Path() const { return path; }

 private:
  static std::string List(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "\"" : ", \"") + name + "\"";
    return text;
  }

  const Json& object;
  std::string path;
  std::set<std::string> known;
};

TEDSBasicDatasheet ReadBasic(const Json& object) {
  ObjectReader in(object, "basicTeds");
  if (const Json* present = in.Find("present"); present != nullptr && *present != Json(true)) {
    in.Fail("present", "a TEDS without a Basic TEDS cannot be written");
  }
  TEDSBasicDatasheet basic;
  basic.manufacturerID = static_cast<uint16_t>(in.Unsigned("manufacturerID", 14));
  basic.modelNumber = static_cast<uint16_t>(in.Unsigned("modelNumber", 15));
  const std::string letter = in.Text("versionLetter");
  if (letter.size() != 1) {
    in.Fail("versionLetter", Excerpt(Json(letter)) + " is not one character");
  }
  basic.versionLetter = letter[0];
  basic.versionNumber = static_cast<uint8_t>(in.Unsigned("versionNumber", 6));
  basic.serialNumber = in.Unsigned("serialNumber", 24);
  in.RejectUnknown();
  return basic;
}

int64_t ReadDate(ObjectReader& in) {
  const Json& value = in.Require("calDate");
  int64_t seconds = 0;
  if (value.is_string()) {
    if (!TEDSEncoder::ParseDate(value.get<std::string>(), seconds)) {
      in.Fail("calDate", Excerpt(value) + " is not a date YYYY-MM-DD");
    }
  } else if (value.is_number_integer() &&
             (!value.is_number_unsigned() ||
              value.get<uint64_t>() <= uint64_t(std::numeric_limits<int64_t>::max()))) {
    seconds = value.get<int64_t>();
  } else {
    in.Fail("calDate", Excerpt(value) +
                           " is neither seconds since 1970 (64 bits) nor a date "
                           "YYYY-MM-DD");
  }
  in.Restates("calDateText", TEDSEncoder::FormatDate(seconds));
  return seconds;
}

// The raw fields of one group of the layout, in its order.
void ReadRawFields(ObjectReader& in, TEDSTemplate25::Data& d, template25::Group group) {
  for (const template25::Field& field : template25::kFields) {
    if (field.group == group) template25::SetRaw(d, field, in.Unsigned(field.name, field.width));
  }
}

void ReadGroup(ObjectReader& in, TEDSTemplate25::Data& d) {
  const Json* group = in.Find("group");
  d.extended = group != nullptr && *group == "extended";
  if (group != nullptr && !d.extended && *group != "standard") {
    in.Fail("group", Excerpt(*group) + " is neither \"standard\" nor \"extended\"");
  }
  if (!d.extended) {
    d.sensRef = in.Number("sensRef");
    d.tfHpS = in.Number("tfHpS");
    return;
  }
  ReadRawFields(in, d, template25::Group::Extended);
}

void ReadTransferFunction(ObjectReader& in, TEDSTemplate25::Data& d) {
  d.transferFunction = in.Flag("transferFunction");
  if (d.transferFunction) ReadRawFields(in, d, template25::Group::TransferFunction);
}

// Fields of a group that is not present may be null (decode --json writes
// them so); a value there would be silently lost, so it is an error.
void RejectUnusedGroupFields(ObjectReader& in, const TEDSTemplate25::Data& d) {
  using template25::Group;
  for (const template25::Field& field : template25::kFields) {
    if (template25::Present(field, d) || in.Find(field.name) == nullptr) continue;
    in.Fail(field.name, field.group == Group::TransferFunction
                            ? "given, but transferFunction is false"
                        : d.extended ? "given, but the group is \"extended\""
                                     : "given, but the group is \"standard\"");
  }
}

TEDSTemplate25::Data ReadTemplate(const Json& object, const std::string& path) {
  ObjectReader in(object, path);
  if (const Json* id = in.Find("templateID"); id != nullptr && *id != Json(25)) {
    in.Fail("templateID", Excerpt(*id) + " cannot be written: only template 25 can");
  }
  in.Ignore({"name"});
  TEDSTemplate25::Data d;
  d.force = in.Flag("force");
  ReadGroup(in, d);
  static const std::vector<std::string> kDirections = {"X", "Y", "Z"};
  static const std::vector<std::string> kSigns = {"POSITIVE", "NEGATIVE"};
  d.direction = in.Choice("direction", kDirections);
  if (d.direction < 3) in.Restates("directionText", kDirections[d.direction]);
  d.weight = in.Number("weight");
  d.sign = in.Choice("sign", kSigns);
  if (d.sign < 2) in.Restates("signText", kSigns[d.sign]);
  ReadTransferFunction(in, d);
  d.refFreq = in.Number("refFreq");
  d.refTemp = in.Number("refTemp");
  d.calDate = ReadDate(in);
  d.calInitials = in.Text("calInitials");
  // The part holds exactly three; fewer would be filled with spaces unseen.
  if (d.calInitials.size() != 3) {
    in.Fail("calInitials",
            Excerpt(Json(d.calInitials)) +
                (d.calInitials.size() > 3 ? " has more than 3 characters"
                                          : " has fewer than 3 characters (the part holds 3: pad "
                                            "with spaces, as \"AB \", to write fewer)"));
  }
  d.calPeriod = in.Unsigned("calPeriod", 12);
  d.measID = in.Unsigned("measID", 11);
  RejectUnusedGroupFields(in, d);
  in.RejectUnknown();
  return d;
}

// The transducer object: the sheet itself, or the one transducer of a
// `teds decode --json` document.
const Json& Transducer(const Json& sheet) {
  if (!sheet.is_object() || !sheet.contains("transducers")) return sheet;
  // The document's other members describe the run that wrote it.
  ObjectReader document(sheet, "");
  document.Ignore({"command", "exitCode", "texts", "devices", "pages", "transducers", "parseError",
                   "timedOut"});
  document.RejectUnknown();
  const Json& list = sheet["transducers"];
  if (!list.is_array() || list.size() != 1) {
    throw DataSheetError("transducers: a data sheet holds exactly one transducer");
  }
  return list[0];
}

void ApplySetting(Json& sheet, const std::string& setting) {
  const std::size_t equals = setting.find('=');
  if (equals == std::string::npos || equals == 0) {
    throw DataSheetError("--set " + setting + ": expected FIELD=VALUE");
  }
  const std::string field = setting.substr(0, equals);
  const std::string text = setting.substr(equals + 1);
  Json value = Json::parse(text, nullptr, false);
  if (value.is_discarded() || value.is_object() || value.is_array()) value = text;
  static const std::set<std::string> kBasic = {"manufacturerID", "modelNumber", "versionLetter",
                                               "versionNumber", "serialNumber"};
  Json& transducer = const_cast<Json&>(Transducer(sheet));
  if (kBasic.count(field) != 0) {
    transducer["basicTeds"][field] = value;
    return;
  }
  Json& templates = transducer["templates"];
  if (templates.is_null() || (templates.is_array() && templates.empty())) {
    templates = Json::array({Json::object()});
  }
  templates[0][field] = value;
}

}  // namespace

DataSheetError::DataSheetError(const std::string& message) : std::runtime_error(message) {}

DataSheet ParseDataSheet(const std::string& text, const std::string& source,
                         const std::vector<std::string>& settings) {
  Json sheet;
  try {
    sheet = ParseSheetText(text);
  } catch (const DataSheetError& e) {
    throw DataSheetError(source + ": " + e.what());
  }
  try {
    for (const std::string& setting : settings) ApplySetting(sheet, setting);
    ObjectReader in(Transducer(sheet), "");
    in.Ignore({"id", "nodes", "image", "errors", "report"});
    DataSheet result;
    result.basic = ReadBasic(in.Require("basicTeds"));
    if (const Json* templates = in.Find("templates")) {
      if (!templates->is_array()) in.Fail("templates", "must be a JSON array");
      for (std::size_t i = 0; i < templates->size(); ++i) {
        result.templates.push_back(
            ReadTemplate((*templates)[i], "templates[" + std::to_string(i) + "]"));
      }
    }
    in.RejectUnknown();
    return result;
  } catch (const DataSheetError& e) {
    throw DataSheetError(source + ": " + e.what());
  } catch (const Json::exception&) {
    // A setting applied to a sheet of the wrong shape (an array, a template
    // that is a number): the sheet's own fault, named as such.
    throw DataSheetError(source + ": not a data sheet object with basicTeds and templates");
  }
}

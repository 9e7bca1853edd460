#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <map>
#include <random>

#include "teds/TEDSDecoder.h"
#include "teds/TEDSEncoder.h"
#include "testing/TedsImages.h"

namespace {

using Data = TEDSTemplate25::Data;

std::vector<Data> DecodedTemplates(const TEDSDecoder::Result& r) {
  std::vector<Data> out;
  for (const auto& t : r.transducer->GetTemplates()) {
    out.push_back(static_cast<const TEDSTemplate25&>(*t).GetData());
  }
  return out;
}

// Every field the decoder fills, compared exactly.
void ExpectSameRecord(const Data& a, const Data& b, const std::string& what) {
  EXPECT_EQ(a.extended, b.extended) << what;
  EXPECT_EQ(a.sensRef, b.sensRef) << what;
  EXPECT_EQ(a.tfHpS, b.tfHpS) << what;
  EXPECT_EQ(a.defaultFR, b.defaultFR) << what;
  EXPECT_EQ(a.passive, b.passive) << what;
  EXPECT_EQ(a.sensRef01, b.sensRef01) << what;
  EXPECT_EQ(a.sensRef10, b.sensRef10) << what;
  EXPECT_EQ(a.tfHpS01, b.tfHpS01) << what;
  EXPECT_EQ(a.tfHpS10, b.tfHpS10) << what;
  EXPECT_EQ(a.direction, b.direction) << what;
  EXPECT_EQ(a.weight, b.weight) << what;
  EXPECT_EQ(a.sign, b.sign) << what;
  EXPECT_EQ(a.transferFunction, b.transferFunction) << what;
  EXPECT_EQ(a.tfSp, b.tfSp) << what;
  EXPECT_EQ(a.tfKPr, b.tfKPr) << what;
  EXPECT_EQ(a.tfKPq, b.tfKPq) << what;
  EXPECT_EQ(a.tfSl, b.tfSl) << what;
  EXPECT_EQ(a.tempCoef, b.tempCoef) << what;
  EXPECT_EQ(a.refFreq, b.refFreq) << what;
  EXPECT_EQ(a.refTemp, b.refTemp) << what;
  EXPECT_EQ(a.calDate, b.calDate) << what;
  EXPECT_EQ(a.calInitials, b.calInitials) << what;
  EXPECT_EQ(a.calPeriod, b.calPeriod) << what;
  EXPECT_EQ(a.measID, b.measID) << what;
}

TEDSBasicDatasheet WorkedBasic() {
  TEDSBasicDatasheet b;
  b.manufacturerID = 100;
  b.modelNumber = 1234;
  b.versionLetter = 'B';
  b.versionNumber = 3;
  b.serialNumber = 123456;
  return b;
}

// The worked example's values as a calibration lab would type them.
Data WorkedTemplate() {
  Data d;
  d.sensRef = 0.01;
  d.tfHpS = 0.5;
  d.direction = 2;
  d.weight = 9.5;
  d.refFreq = 98.7;
  d.refTemp = 23;
  TEDSEncoder::ParseDate("2020-01-01", d.calDate);
  d.calInitials = "ABC";
  d.calPeriod = 365;
  d.measID = 5;
  return d;
}

}  // namespace

TEST(TEDSEncoder, WorkedExampleGivesTheKnownImageAndDS2430ADump) {
  const auto r = TEDSEncoder::EncodeDS2430A(WorkedBasic(), {WorkedTemplate()});
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(orvtest::WorkedImage(), r.image);
  EXPECT_EQ(orvtest::kBasicTeds, r.application);
  std::vector<uint8_t> memory = {0x6F};
  memory.insert(memory.end(), orvtest::kTemplate25Bytes.begin(), orvtest::kTemplate25Bytes.end());
  memory.resize(32, 0x00);
  EXPECT_EQ(memory, r.memory);
  // The read-back values are the decoder's, not the values asked for.
  ASSERT_EQ(1u, r.templates.size());
  EXPECT_NEAR(0.0100013, r.templates[0].sensRef, 1e-7);
  EXPECT_NEAR(9.53962, r.templates[0].weight, 1e-5);
  EXPECT_EQ(23.0, r.templates[0].refTemp);
  const auto decoded = TEDSDecoder::DecodeDS2430A(r.application, r.memory);
  EXPECT_EQ(std::vector<bool>{true}, decoded.verdicts);
  ExpectSameRecord(r.templates[0], DecodedTemplates(decoded).at(0), "worked");
}

TEST(TEDSEncoder, RefusesEachValueItCannotEncodeNamingFieldAndRange) {
  struct Case {
    std::function<void(TEDSBasicDatasheet&, Data&)> change;
    std::string error;
  };
  const Case cases[] = {
      {[](auto& b, auto&) { b.manufacturerID = 16; },
       "manufacturerID: 16 is outside 17 to 16382 (0 to 16 and 16383 announce no Basic TEDS)"},
      {[](auto& b, auto&) { b.manufacturerID = 16383; },
       "manufacturerID: 16383 is outside 17 to 16382 (0 to 16 and 16383 announce no Basic TEDS)"},
      {[](auto& b, auto&) { b.modelNumber = 32768; }, "modelNumber: 32768 is outside 0 to 32767"},
      {[](auto& b, auto&) { b.versionLetter = 'b'; },
       "versionLetter: \"b\" is not a 5-bit TEDS character (allowed: space, A to Z, \",\", "
       "\".\", \"/\", \"_\" and \"@\")"},
      {[](auto& b, auto&) { b.versionLetter = '\0'; },
       "versionLetter: byte 0 is not a 5-bit TEDS character (allowed: space, A to Z, \",\", "
       "\".\", \"/\", \"_\" and \"@\")"},
      {[](auto& b, auto&) { b.versionNumber = 64; }, "versionNumber: 64 is outside 0 to 63"},
      {[](auto& b, auto&) { b.serialNumber = 1u << 24; },
       "serialNumber: 16777216 is outside 0 to 16777215"},
      {[](auto&, auto& d) { d.force = true; },
       "force: force transducers cannot be written (only acceleration)"},
      {[](auto&, auto& d) { d.direction = 3; }, "direction: 3 is outside 0 to 2 (0 X, 1 Y, 2 Z)"},
      {[](auto&, auto& d) { d.sign = 2; }, "sign: 2 is outside 0 to 1 (0 positive, 1 negative)"},
      {[](auto&, auto& d) { d.sensRef = 200; },
       "sensRef: 200 V/(m/s^2) is outside 5e-07 to 172.241 V/(m/s^2)"},
      {[](auto&, auto& d) { d.sensRef = 0; },
       "sensRef: 0 V/(m/s^2) is outside 5e-07 to 172.241 V/(m/s^2)"},
      {[](auto&, auto& d) { d.sensRef = NAN; },
       "sensRef: nan V/(m/s^2) is outside 5e-07 to 172.241 V/(m/s^2)"},
      {[](auto&, auto& d) { d.tfHpS = 0.004; }, "tfHpS: 0.004 Hz is outside 0.005 to 14189.5 Hz"},
      {[](auto&, auto& d) { d.weight = 1e9; }, "weight: 1e+09 g is outside 0.1 to 9736.85 g"},
      {[](auto&, auto& d) { d.refFreq = 3000; }, "refFreq: 3000 Hz is outside 0.35 to 2258.69 Hz"},
      {[](auto&, auto& d) { d.refTemp = 31; }, "refTemp: 31 *C is outside 15 to 30.5 *C"},
      {[](auto&, auto& d) { d.refTemp = 30.6; }, "refTemp: 30.6 *C is outside 15 to 30.5 *C"},
      {[](auto&, auto& d) { d.weight = 10710.5; }, "weight: 10710.5 g is outside 0.1 to 9736.85 g"},
      {[](auto&, auto& d) { TEDSEncoder::ParseDate("1997-12-31", d.calDate); },
       "calDate: 1997-12-31 is outside 1998-01-01 to 2177-06-06"},
      {[](auto&, auto& d) { TEDSEncoder::ParseDate("2177-06-07", d.calDate); },
       "calDate: 2177-06-07 is outside 1998-01-01 to 2177-06-06"},
      {[](auto&, auto& d) { d.calInitials = "ABCD"; },
       "calInitials: \"ABCD\" has more than 3 characters"},
      {[](auto&, auto& d) { d.calInitials = "a"; },
       "calInitials: \"a\" is not a 5-bit TEDS character (allowed: space, A to Z, \",\", "
       "\".\", \"/\", \"_\" and \"@\")"},
      {[](auto&, auto& d) { d.calPeriod = 4096; }, "calPeriod: 4096 is outside 0 to 4095"},
      {[](auto&, auto& d) { d.measID = 2048; }, "measID: 2048 is outside 0 to 2047"},
      {[](auto&, auto& d) {
         d.extended = true;
         d.defaultFR = 4;
       },
       "defaultFR: 4 is outside 0 to 3"},
      {[](auto&, auto& d) {
         d.extended = true;
         d.sensRef10 = 65536;
       },
       "sensRef10: 65536 is outside 0 to 65535"},
      {[](auto&, auto& d) {
         d.transferFunction = true;
         d.tfKPq = 512;
       },
       "tfKPq: 512 is outside 0 to 511"},
      {[](auto&, auto& d) {
         d.transferFunction = true;
         d.tempCoef = 64;
       },
       "tempCoef: 64 is outside 0 to 63"},
  };
  for (const Case& c : cases) {
    TEDSBasicDatasheet basic = WorkedBasic();
    Data data = WorkedTemplate();
    c.change(basic, data);
    const auto r = TEDSEncoder::EncodeDS2430A(basic, {data});
    EXPECT_FALSE(r.ok) << c.error;
    EXPECT_EQ(c.error, r.error);
    EXPECT_TRUE(r.image.empty() && r.memory.empty()) << c.error;
  }
}

TEST(TEDSEncoder, ScaleEndsAndShortInitialsEncode) {
  Data d = WorkedTemplate();
  d.sensRef = 172.241;  // the printed top of the scale, a little below the true one
  d.refTemp = 30.5;     // the top: the range stated is the range accepted
  d.calInitials = "J";
  const auto r = TEDSEncoder::Encode(WorkedBasic(), {d});
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(TEDSParser::ConRelResValue(65535, 5e-7, 0.00015), r.templates[0].sensRef);
  EXPECT_EQ(30.5, r.templates[0].refTemp);
  EXPECT_EQ("J  ", r.templates[0].calInitials);
}

TEST(TEDSEncoder, SecondTemplateNamedByPlaceAndImageTooLongForOneDevice) {
  Data bad = WorkedTemplate();
  bad.measID = 5000;
  auto r = TEDSEncoder::Encode(WorkedBasic(), {WorkedTemplate(), bad});
  EXPECT_EQ("template 2: measID: 5000 is outside 0 to 2047", r.error);
  Data full = WorkedTemplate();
  full.transferFunction = true;
  // 64 + 2 x (113 + 38) bits = 46 bytes: a whole image, but not one device's.
  r = TEDSEncoder::Encode(WorkedBasic(), {full, full});
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(46u, r.image.size());
  r = TEDSEncoder::EncodeDS2430A(WorkedBasic(), {full, full});
  EXPECT_EQ(
      "image: 46 bytes do not fit one DS2430A (at most 39: 8 in the application register, "
      "31 in memory)",
      r.error);
}

TEST(TEDSEncoder, DatesParseOnlyAsRealCalendarDays) {
  struct Case {
    const char* text;
    bool ok;
    int64_t seconds;
  };
  const Case cases[] = {{"1998-01-01", true, 883612800},  {"2020-02-29", true, 1582934400},
                        {"2177-06-06", true, 6545836800}, {"2021-02-29", false, 0},
                        {"2020-13-01", false, 0},         {"2020-1-01", false, 0},
                        {"20200101", false, 0},           {"2020-01-0x", false, 0}};
  for (const Case& c : cases) {
    int64_t seconds = -1;
    EXPECT_EQ(c.ok, TEDSEncoder::ParseDate(c.text, seconds)) << c.text;
    if (!c.ok) continue;
    EXPECT_EQ(c.seconds, seconds) << c.text;
    EXPECT_EQ(c.text, TEDSEncoder::FormatDate(seconds));
    EXPECT_EQ(c.text, TEDSEncoder::FormatDate(seconds + 86399));  // any time of that day
  }
}

namespace {

double LogUniform(std::mt19937& rng, double low, double high) {
  std::uniform_real_distribution<double> u(std::log(low), std::log(high));
  return std::exp(u(rng));
}

Data RandomRecord(std::mt19937& rng) {
  Data d;
  d.extended = rng() % 3 == 0;
  d.sensRef = LogUniform(rng, 5e-7, 172.2);
  d.tfHpS = LogUniform(rng, 0.005, 14189.0);
  d.defaultFR = rng() % 4;
  d.passive = rng() % 2;
  d.sensRef01 = rng() % 65536;
  d.sensRef10 = rng() % 65536;
  d.tfHpS01 = rng() % 256;
  d.tfHpS10 = rng() % 256;
  d.direction = rng() % 3;
  d.weight = LogUniform(rng, 0.1, 9736.0);
  d.sign = rng() % 2;
  d.transferFunction = rng() % 2 == 0;
  d.tfSp = rng() % 128;
  d.tfKPr = rng() % 512;
  d.tfKPq = rng() % 512;
  d.tfSl = rng() % 128;
  d.tempCoef = rng() % 64;
  d.refFreq = LogUniform(rng, 0.35, 2258.0);
  d.refTemp = 15.0 + (rng() % 15501) / 1000.0;
  d.calDate = (TEDSParser::DATE_EPOCH_DAYS + rng() % 65536) * 86400 + rng() % 86400;
  for (int i = 0; i < 3; ++i) d.calInitials.push_back(TEDSParser::CHR5_TABLE[rng() % 32]);
  d.calPeriod = rng() % 4096;
  d.measID = rng() % 2048;
  return d;
}

// A scaled value read back lies within half a step of the value asked for.
void ExpectWithinHalfStep(double asked, double got, double factor, const std::string& what) {
  const double step = got * (factor - 1.0);
  EXPECT_LE(std::fabs(got - asked), step / 2 * (1 + 1e-9) + 1e-300) << what;
}

}  // namespace

TEST(TEDSEncoder, DecodingTheEncodingGivesTheRecordBackWithinEachFieldsStep) {
  std::mt19937 rng(1451);
  for (int i = 0; i < 4000; ++i) {
    const Data asked = RandomRecord(rng);
    TEDSBasicDatasheet basic;
    basic.manufacturerID = static_cast<uint16_t>(17 + rng() % 16366);
    basic.modelNumber = static_cast<uint16_t>(rng() % 32768);
    basic.versionLetter = TEDSParser::CHR5_TABLE[rng() % 32];
    basic.versionNumber = static_cast<uint8_t>(rng() % 64);
    basic.serialNumber = rng() % (1u << 24);
    const auto r = TEDSEncoder::EncodeDS2430A(basic, {asked});
    ASSERT_TRUE(r.ok) << r.error;
    const auto decoded = TEDSDecoder::DecodeDS2430A(r.application, r.memory);
    ASSERT_TRUE(decoded.parsed);
    const TEDSBasicDatasheet& b = decoded.transducer->GetBasicDatasheet();
    EXPECT_EQ(basic.manufacturerID, b.manufacturerID);
    EXPECT_EQ(basic.serialNumber, b.serialNumber);
    EXPECT_EQ(basic.versionLetter, b.versionLetter);
    const Data got = DecodedTemplates(decoded).at(0);
    const std::string what = "record " + std::to_string(i);
    ExpectSameRecord(r.templates[0], got, what);
    if (!asked.extended) {
      ExpectWithinHalfStep(asked.sensRef, got.sensRef, 1.0003, what + " sensRef");
      ExpectWithinHalfStep(asked.tfHpS, got.tfHpS, 1.06, what + " tfHpS");
    }
    ExpectWithinHalfStep(asked.weight, got.weight, 1.2, what + " weight");
    ExpectWithinHalfStep(asked.refFreq, got.refFreq, 1.035, what + " refFreq");
    EXPECT_LE(std::fabs(asked.refTemp - got.refTemp), 0.25) << what;
    EXPECT_EQ(asked.calDate / 86400 * 86400, got.calDate) << what;
    if (HasFailure()) return;
  }
}

TEST(TEDSEncoder, EncodingADecodedImageGivesTheSameBytes) {
  // Random raw fields behind a Basic TEDS, up to three templates, zero
  // padding after the last: every such image that decodes encodes back to
  // itself.
  std::mt19937 rng(25);
  int checked = 0;
  for (int i = 0; i < 4000; ++i) {
    orvtest::BitWriter w;
    w.Put(17 + rng() % 16366, 14).Put(rng(), 15).Put(rng(), 5).Put(rng(), 6).Put(rng(), 24);
    const unsigned count = rng() % 4;
    for (unsigned t = 0; t < count; ++t) {
      const bool extended = rng() % 2;
      const bool transfer = rng() % 2;
      w.Put(0, 2).Put(25, 8).Put(0, 1).Put(extended, 1);
      if (extended)
        w.Put(rng(), 19).Put(rng(), 32);
      else
        w.Put(rng(), 24);
      w.Put(rng() % 3, 2).Put(rng(), 6 + 1).Put(transfer, 1);
      if (transfer) w.Put(rng(), 19).Put(rng(), 19);
      w.Put(rng(), 21).Put(rng(), 23).Put(rng(), 23);
    }
    std::vector<uint8_t> image = w.bytes;
    image.resize(image.size() + rng() % 4, 0x00);
    const auto decoded = TEDSDecoder::Decode(image);
    ASSERT_TRUE(decoded.parsed);
    const auto templates = DecodedTemplates(decoded);
    ASSERT_EQ(count, templates.size());
    auto r = TEDSEncoder::Encode(decoded.transducer->GetBasicDatasheet(), templates);
    ASSERT_TRUE(r.ok) << r.error;
    r.image.resize(image.size(), 0x00);
    ASSERT_EQ(image, r.image) << "image " << i;
    ++checked;
  }
  EXPECT_EQ(4000, checked);
}

namespace {

// Puts `value` into the field `name` of a record that reaches it (the
// extended group and the transfer function switched on for their fields).
bool SetField(const std::string& name, double value, TEDSBasicDatasheet& b, Data& d) {
  const auto whole = [value] { return static_cast<uint32_t>(value); };
  const std::map<std::string, std::function<void()>> setters = {
      {"manufacturerID", [&] { b.manufacturerID = whole(); }},
      {"modelNumber", [&] { b.modelNumber = whole(); }},
      {"versionNumber", [&] { b.versionNumber = whole(); }},
      {"serialNumber", [&] { b.serialNumber = whole(); }},
      {"sensRef", [&] { d.sensRef = value; }},
      {"tfHpS", [&] { d.tfHpS = value; }},
      {"defaultFR", [&] { d.extended = true, d.defaultFR = whole(); }},
      {"passive", [&] { d.extended = true, d.passive = whole(); }},
      {"sensRef01", [&] { d.extended = true, d.sensRef01 = whole(); }},
      {"sensRef10", [&] { d.extended = true, d.sensRef10 = whole(); }},
      {"tfHpS01", [&] { d.extended = true, d.tfHpS01 = whole(); }},
      {"tfHpS10", [&] { d.extended = true, d.tfHpS10 = whole(); }},
      {"direction", [&] { d.direction = whole(); }},
      {"weight", [&] { d.weight = value; }},
      {"sign", [&] { d.sign = whole(); }},
      {"tfSp", [&] { d.transferFunction = true, d.tfSp = whole(); }},
      {"tfKPr", [&] { d.transferFunction = true, d.tfKPr = whole(); }},
      {"tfKPq", [&] { d.transferFunction = true, d.tfKPq = whole(); }},
      {"tfSl", [&] { d.transferFunction = true, d.tfSl = whole(); }},
      {"tempCoef", [&] { d.transferFunction = true, d.tempCoef = whole(); }},
      {"refFreq", [&] { d.refFreq = value; }},
      {"refTemp", [&] { d.refTemp = value; }},
      {"calDate", [&] { d.calDate = static_cast<int64_t>(value); }},
      {"calPeriod", [&] { d.calPeriod = whole(); }},
      {"measID", [&] { d.measID = whole(); }},
  };
  const auto setter = setters.find(name);
  if (setter == setters.end()) return false;
  setter->second();
  return true;
}

}  // namespace

// A form checks values against these limits before the encoder sees them: a
// limit that drifted from the encoder would let through what it refuses, or
// refuse what it takes.
TEST(TEDSEncoder, FieldLimitsAreTheRangesTheEncoderAccepts) {
  for (const TEDSEncoder::FieldLimit& limit : TEDSEncoder::FieldLimits()) {
    if (limit.kind == TEDSEncoder::FieldLimit::Kind::Text) continue;
    const double step = limit.kind == TEDSEncoder::FieldLimit::Kind::Scaled ? limit.high * 1e-3
                        : limit.kind == TEDSEncoder::FieldLimit::Kind::Date ? 86400
                                                                             : 1;
    const double lowStep = limit.kind == TEDSEncoder::FieldLimit::Kind::Scaled ? limit.low * 1e-3
                                                                               : step;
    const std::pair<double, bool> probes[] = {
        {limit.low, true}, {limit.high, true}, {limit.high + step, false}, {limit.low - lowStep, false}};
    for (const auto& probe : probes) {
      // Below 0 a whole field cannot be given at all.
      if (probe.first < 0 && limit.kind == TEDSEncoder::FieldLimit::Kind::Integer) continue;
      TEDSBasicDatasheet b = WorkedBasic();
      Data d = WorkedTemplate();
      ASSERT_TRUE(SetField(limit.name, probe.first, b, d)) << limit.name;
      const auto r = TEDSEncoder::Encode(b, {d});
      EXPECT_EQ(r.ok, probe.second) << limit.name << " = " << probe.first << ": " << r.error;
      if (!probe.second) {
        EXPECT_NE(r.error.find(limit.name + ": "), std::string::npos) << r.error;
        EXPECT_NE(r.error.find(limit.lowText + " to " + limit.highText), std::string::npos)
            << r.error;
      }
    }
  }
}

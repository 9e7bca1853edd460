#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "teds/TEDSException.h"
#include "teds/TEDSTemplate25.h"
#include "teds/test/TedsTestUtil.h"
#include "teds/test/WorkedExample.h"

using tedstest::BitWriter;
using tedstest::Template25Access;
using tedstest::Template25Record;

namespace {

const std::string kPrefix25 = "Failed to parse TEDS template 25: ";

struct Field {
  unsigned width;
  uint32_t value;
  std::string text;  // failure text when the image ends inside the field
};

// The fields of a template 25 in reading order, for the standard or the
// extended group and with or without the transfer-function group. Values are
// those of the worked example where it has them.
std::vector<Field> Layout(bool extended, bool transfer) {
  std::vector<Field> f = {{1, 0, "Invalid Acceleration / Force bit"},
                          {1, extended ? 1u : 0u, "Invalid Extended Functionality bit"}};
  if (!extended) {
    f.push_back({16, 33017, "Invalid value for %Sens@Ref"});
    f.push_back({8, 79, "Invalid value for %TF_HP_S"});
  } else {
    f.push_back({2, 1, "Invalid value for %DefaultFR"});
    f.push_back({1, 1, "Invalid value for %Passive"});
    f.push_back({16, 1001, "Invalid value for %Sens@Ref[\x93" "01\x94]"});
    f.push_back({16, 1010, "Invalid value for %Sens@Ref[\x93" "10\x94]"});
    f.push_back({8, 101, "Invalid value for %TF_HP_S[\x93" "01\x94]"});
    f.push_back({8, 110, "Invalid value for %TF_HP_S[\x93" "10\x94]"});
  }
  f.push_back({2, 2, "Invalid value for %Direction"});
  f.push_back({6, 25, "Invalid value for %Weight"});
  f.push_back({1, 0, "Invalid value for %Sign"});
  f.push_back({1, transfer ? 1u : 0u, "Invalid Transfer Function bit"});
  if (transfer) {
    f.push_back({7, 127, "Invalid value for %TF_SP"});
    f.push_back({9, 511, "Invalid value for %TF_KPr"});
    f.push_back({9, 300, "Invalid value for %TF_KPq"});
    f.push_back({7, 5, "Invalid value for %TF_SL"});
    f.push_back({6, 63, "Invalid value for %TempCoef"});
  }
  f.push_back({8, 164, "Invalid value for %Reffreq"});
  f.push_back({5, 16, "Invalid value for %RefTemp"});
  f.push_back({16, 8035, "Invalid value for %CalDate"});
  f.push_back({15, 1 | 2 << 5 | 3 << 10, "Invalid value for %CalInitials"});
  f.push_back({12, 365, "Invalid value for %CalPeriod"});
  f.push_back({11, 5, "Invalid value for %MeasID"});
  return f;
}

// `pad` zero bits, then the template 25 fields.
BitWriter Write(const std::vector<Field>& fields, unsigned pad) {
  BitWriter w;
  w.Put(0, pad);
  for (const Field& f : fields) w.Put(f.value, f.width);
  return w;
}

std::shared_ptr<TEDSTemplate> ParseAfter(const std::vector<uint8_t>& image, unsigned pad,
                                         std::size_t* end = nullptr) {
  TEDSParser reader(image);
  uint32_t ignored = 0;
  for (unsigned left = pad; left > 0; left -= std::min(left, 32u)) {
    reader.ReadBits(std::min(left, 32u), ignored);
  }
  auto t = Template25Access::Parse(reader);
  if (end) *end = reader.GetPosition();
  return t;
}

const TEDSTemplate25::Data& DataOf(const std::shared_ptr<TEDSTemplate>& t) {
  return static_cast<const TEDSTemplate25&>(*t).GetData();
}

std::string Line(const std::string& report, int n) {
  std::istringstream in(report);
  std::string line;
  for (int i = 0; i < n; ++i) std::getline(in, line);
  return line;
}

// The report from line n + 1 on.
std::string AfterLine(const std::string& report, int n) {
  std::size_t at = 0;
  for (int i = 0; i < n; ++i) at = report.find('\n', at) + 1;
  return report.substr(at);
}

}  // namespace

TEST(TEDSTemplate25, WorkedExample) {
  const std::vector<uint8_t> image = tedstest::WorkedImage();
  std::size_t end = 0;
  const auto t = ParseAfter(image, 74, &end);
  EXPECT_EQ(end, 177u);
  const auto& d = DataOf(t);
  EXPECT_FALSE(d.force);
  EXPECT_NEAR(d.sensRef, 0.0100013, 1e-7);
  EXPECT_NEAR(d.tfHpS, 0.499038, 1e-6);
  EXPECT_EQ(d.direction, 2u);
  EXPECT_NEAR(d.weight, 9.53962, 1e-5);
  EXPECT_EQ(d.sign, 0u);
  EXPECT_NEAR(d.refFreq, 98.6928, 1e-4);
  EXPECT_EQ(d.refTemp, 23.0);
  EXPECT_EQ(d.calDate, (8035 + 10227) * int64_t{86400});
  EXPECT_EQ(d.calInitials, "ABC");
  EXPECT_EQ(d.calPeriod, 365u);
  EXPECT_EQ(d.measID, 5u);
  EXPECT_EQ(t->Print(), WorkedTemplate25Report());
  EXPECT_EQ(t->GetName().size(), 62u);
}

// For every field of every path: the image ends exactly at the field's first
// bit, and one bit into it. Either way the text names the field's whole range
// from its first bit.
TEST(TEDSTemplate25, EveryTruncationNamesTheField) {
  for (bool extended : {false, true}) {
    for (bool transfer : {false, true}) {
      const std::vector<Field> fields = Layout(extended, transfer);
      std::size_t start = 0;
      for (const Field& f : fields) {
        for (unsigned into : {0u, 1u}) {
          if (into >= f.width) continue;
          const unsigned pad = static_cast<unsigned>((16 - (start + into) % 8) % 8);
          std::vector<uint8_t> image = Write(fields, pad).bytes;
          image.resize((pad + start + into) / 8);
          const std::size_t first = pad + start;
          std::ostringstream expected;
          expected << kPrefix25 << (f.width == 1 ? "Bit " : "Bits ") << first;
          if (f.width != 1) expected << '-' << first + f.width - 1;
          expected << ": " << f.text;
          try {
            ParseAfter(image, pad);
            ADD_FAILURE() << f.text << " did not fail";
          } catch (const TEDSParse25Exception& e) {
            EXPECT_EQ(e.what(), expected.str()) << "extended " << extended << " into " << into;
          }
        }
        start += f.width;
      }
    }
  }
}

TEST(TEDSTemplate25, RejectedValues) {
  // Force select 1: rejected before anything else is read.
  std::vector<Field> force = Layout(false, false);
  force[0].value = 1;
  try {
    ParseAfter(Write(force, 74).bytes, 74);
    FAIL();
  } catch (const TEDSParse25Exception& e) {
    EXPECT_EQ(e.what(), kPrefix25 + "Bit 74: Force not supported");
  }
  std::vector<Field> direction = Layout(false, false);
  direction[4].value = 3;
  try {
    ParseAfter(Write(direction, 74).bytes, 74);
    FAIL();
  } catch (const TEDSParse25Exception& e) {
    EXPECT_EQ(e.what(), kPrefix25 + "Bits 100-101: Invalid value for %Direction");
  }
  for (uint32_t value : {0u, 1u, 2u}) {
    direction[4].value = value;
    const auto t = ParseAfter(Write(direction, 74).bytes, 74);
    EXPECT_EQ(Line(t->Print(), 6), std::string("    %Direction:     ") + "XYZ"[value]);
  }
}

TEST(TEDSTemplate25, OptionalGroupsAreConsumed) {
  std::size_t standardEnd = 0, extendedEnd = 0, transferEnd = 0;
  const auto standard = ParseAfter(Write(Layout(false, false), 0).bytes, 0, &standardEnd);
  const auto extended = ParseAfter(Write(Layout(true, false), 0).bytes, 0, &extendedEnd);
  const auto transfer = ParseAfter(Write(Layout(false, true), 0).bytes, 0, &transferEnd);
  EXPECT_EQ(standardEnd, 103u);
  EXPECT_EQ(extendedEnd, 103u + 27);
  EXPECT_EQ(transferEnd, 103u + 38);

  const auto& e = DataOf(extended);
  EXPECT_EQ(e.sensRef, 0.0);
  EXPECT_EQ(e.tfHpS, 0.0);
  EXPECT_EQ(e.sensRef01, 1001u);
  EXPECT_EQ(e.sensRef10, 1010u);
  EXPECT_EQ(e.tfHpS01, 101u);
  EXPECT_EQ(e.tfHpS10, 110u);
  // Which groups were present, and their remaining raw values, are kept.
  EXPECT_TRUE(e.extended);
  EXPECT_EQ(e.defaultFR, 1u);
  EXPECT_EQ(e.passive, 1u);
  EXPECT_FALSE(e.transferFunction);
  EXPECT_FALSE(DataOf(standard).extended);
  const auto& tf = DataOf(transfer);
  EXPECT_TRUE(tf.transferFunction);
  EXPECT_EQ(std::vector<uint32_t>({tf.tfSp, tf.tfKPr, tf.tfKPq, tf.tfSl, tf.tempCoef}),
            std::vector<uint32_t>({127, 511, 300, 5, 63}));
  EXPECT_EQ(Line(extended->Print(), 4), "      %Sens@Ref:    0.000000 V/(m/s^2)");
  EXPECT_EQ(Line(extended->Print(), 5), "      %TF_HP_S:     0.000000 Hz");
  // Apart from the two sensitivity lines the reports agree.
  EXPECT_EQ(AfterLine(extended->Print(), 5), AfterLine(standard->Print(), 5));
  // The transfer-function group leaves no trace.
  EXPECT_EQ(transfer->Print(), standard->Print());
}

TEST(TEDSTemplate25, RawZeroGivesStartValues) {
  std::vector<Field> fields = Layout(false, false);
  for (Field& f : fields) f.value = 0;
  const auto t = ParseAfter(Write(fields, 0).bytes, 0);
  const auto& d = DataOf(t);
  EXPECT_EQ(d.sensRef, 5e-7);
  EXPECT_EQ(d.tfHpS, 0.005);
  EXPECT_EQ(d.weight, 0.1);
  EXPECT_EQ(d.refFreq, 0.35);
  EXPECT_EQ(d.refTemp, 15.0);
  EXPECT_EQ(d.calDate, 883612800);
  EXPECT_EQ(d.calInitials, "   ");
}

TEST(TEDSTemplate25, ReportOfRecordsBuiltDirectly) {
  TEDSTemplate25::Data d;
  const std::string plain = Template25Record(d).Print();
  EXPECT_EQ(Line(plain, 13), "    %CalDate:       1998-01-01");
  EXPECT_EQ(Line(plain, 14), "    %CalInitials:   ");

  d.force = true;
  const std::string force = Template25Record(d).Print();
  EXPECT_EQ(std::count(force.begin(), force.end(), '\n'), 14);
  EXPECT_EQ(force.find("Accelerometer:"), std::string::npos);

  d = TEDSTemplate25::Data();
  d.direction = 3;
  d.sign = 2;
  d.calInitials = "   ";
  d.weight = 12345.6789012;
  const std::string odd = Template25Record(d).Print();
  EXPECT_EQ(std::count(odd.begin(), odd.end(), '\n'), 15);
  EXPECT_EQ(odd.find("%Direction"), std::string::npos);
  EXPECT_EQ(odd.find("%Sign"), std::string::npos);
  EXPECT_NE(odd.find("    %Weight:        12345.678901 g\n"), std::string::npos);
  EXPECT_NE(odd.find("    %CalInitials:      \n"), std::string::npos);

  d.sign = 1;
  EXPECT_NE(Template25Record(d).Print().find("    %Sign:          NEGATIVE\n"), std::string::npos);
}

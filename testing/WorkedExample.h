#pragma once

// The reports of the worked example sensor (Basic TEDS 64 80 34 41 0C 40 E2 01,
// template bytes 64 90 0F F8 64 06 29 1C FB 08 62 B4 45 01 00), shared by the
// decoding, tool and end-to-end tests.

#include <string>

namespace orvtest {

// The Basic TEDS part of the transducer report.
inline std::string WorkedBasicReport() {
  return "Basic TEDS:\n"
         "  Manufacturer ID: 100\n"
         "  Model Number:    1234\n"
         "  Version Letter:  B\n"
         "  Version Number:  3\n"
         "  Serial Number:   123456\n";
}

// The template 25 report (no leading empty line).
inline std::string WorkedTemplate25Report() {
  return "Template 25 - Accelerometer/Force transducer with constant current amplifier:\n"
         "  Measurement:\n"
         "    Accelerometer:\n"
         "      %Sens@Ref:    0.010001 V/(m/s^2)\n"
         "      %TF_HP_S:     0.499038 Hz\n"
         "    %Direction:     Z\n"
         "    %Weight:        9.539622 g\n"
         "  Electrical signal output:\n"
         "    %Sign:          POSITIVE\n"
         "  Calibration Information:\n"
         "    %Reffreq:       98.692786 Hz\n"
         "    %RefTemp:       23.000000 *C\n"
         "    %CalDate:       2020-01-01\n"
         "    %CalInitials:   ABC\n"
         "    %CalPeriod:     365 days\n"
         "  Misc.:\n"
         "    %MeasID:        5\n";
}

// The whole transducer report of the sensor with identity `rom` (its text
// form without brackets) followed by the error that ends its template list.
inline std::string WorkedSensorOutput(const std::string& rom) {
  return "Transducer:[" + rom + "]\n\n" + WorkedBasicReport() + "\n" + WorkedTemplate25Report() +
         "Failed to parse TEDS template: Unknown template 0\n";
}

}  // namespace orvtest

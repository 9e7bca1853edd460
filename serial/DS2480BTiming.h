#pragma once

#include <chrono>
#include <memory>

#include "onewire/Clock.h"

// The waits of the DS2480B master.
struct DS2480BTiming {
  // Longest wait for the adapter's first answer byte of a packet; the bytes
  // of the packet itself add two milliseconds each.
  std::chrono::milliseconds answerTimeout{1000};
  // Pause after the break and after the timing byte at start-up, for the
  // adapter to calibrate; 0 in tests against doubles.
  std::chrono::milliseconds settle{5};
  // Pause after the command that switches the adapter to another baud rate,
  // before the port follows: the command must have reached the adapter at
  // the old rate.
  std::chrono::milliseconds baudSwitch{20};
  // Idle time after a copy into EEPROM (the DS2430A's copy scratchpad 55 A5
  // and copy and lock 5A A5): the part programs for about 10 ms, and any
  // reset or time slot meanwhile leaves the area undefined.
  std::chrono::milliseconds programming{12};
  // What the waits are measured by; null: the steady clock.
  std::shared_ptr<Clock> clock = nullptr;
};

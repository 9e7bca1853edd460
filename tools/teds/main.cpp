#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "tools/teds/TedsApp.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

bool StdinIsTerminal() {
#if defined(_WIN32)
  return _isatty(_fileno(stdin)) != 0;
#else
  return isatty(fileno(stdin)) != 0;
#endif
}

}  // namespace

int main(int argc, char** argv) {
#if defined(_WIN32)
  // The reports are 8-bit texts with exact line ends and the Windows-1252
  // quotation bytes 0x93/0x94: no CR may be added to them.
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  TedsStreams streams{std::cin, std::cout, std::cerr, StdinIsTerminal()};
  const int status = RunTeds(args, streams);
  std::cout.flush();
  return status;
}

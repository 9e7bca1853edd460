#include <csignal>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "tools/teds/TedsApp.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <shellapi.h>
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

// The arguments as UTF-8, the encoding every command expects (a device name
// is decoded from it). Windows hands `main` its arguments in the ANSI code
// page, so there they are taken from the wide command line instead.
std::vector<std::string> Arguments(int argc, char** argv) {
#if defined(_WIN32)
  int count = 0;
  if (LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count)) {
    std::vector<std::string> args;
    for (int i = 1; i < count; ++i) {
      const int size = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
      std::string arg(size > 0 ? size - 1 : 0, '\0');
      if (size > 1) {
        WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, &arg[0], size, nullptr, nullptr);
      }
      args.push_back(arg);
    }
    LocalFree(wide);
    return args;
  }
#endif
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

}  // namespace

int main(int argc, char** argv) {
#if defined(_WIN32)
  // The reports are 8-bit texts with exact line ends and the Windows-1252
  // quotation bytes 0x93/0x94: no CR may be added to them.
  _setmode(_fileno(stdout), _O_BINARY);
#endif
#if defined(SIGPIPE)
  // A reader that went away is a failed write, reported like any other,
  // rather than a silent end by signal.
  std::signal(SIGPIPE, SIG_IGN);
#endif
  TedsStreams streams{std::cin, std::cout, std::cerr, StdinIsTerminal()};
  const int status = RunTeds(Arguments(argc, argv), streams);
  std::cout.flush();
  return status;
}

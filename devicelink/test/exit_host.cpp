// Starts the exit probe's query and returns from main while it is under way:
// the process must end, with main's status.
extern "C" __declspec(dllimport) int exit_probe_start();

int main() { return exit_probe_start(); }

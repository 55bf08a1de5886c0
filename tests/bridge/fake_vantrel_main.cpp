// A stand-in bridge executable for the supervision tests: records its start in
// "started.log" beside itself (pid, arguments, port and secret from its
// environment), says one line on its output, then waits to be ended.
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

int main(int argc, char** argv) {
  char self[PATH_MAX] = {};
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (n <= 0) return 1;
  std::string dir(self, size_t(n));
  dir = dir.substr(0, dir.rfind('/'));

  std::string line = std::to_string(::getpid());
  for (int i = 1; i < argc; ++i) line += std::string(" ") + argv[i];
  const char* port = std::getenv("VANTREL_PORT");
  const char* secret = std::getenv("VANTREL_SECRET");
  line += std::string(" port=") + (port ? port : "-") + " secret=" + (secret ? secret : "-") + "\n";
  if (std::FILE* log = std::fopen((dir + "/started.log").c_str(), "a")) {
    std::fputs(line.c_str(), log);
    std::fclose(log);
  }
  std::printf("fake bridge %d says hello\n", int(::getpid()));
  std::fflush(stdout);
  for (;;) ::pause();
}

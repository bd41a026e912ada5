// tvcam: command-line access to the driver and the simulated cameras.
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "help") == 0) {
    std::printf("usage: tvcam <command> [options]\n");
    return argc < 2 ? 2 : 0;
  }
  std::fprintf(stderr, "tvcam: unknown command '%s'\n", argv[1]);
  return 2;
}

// The main() of every test program: the socket layer is up for the whole
// run (Windows needs WSAStartup() before any socket call), then GoogleTest.
#include <gtest/gtest.h>

#include <cstdio>

#include "platform/socket.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  int error = 0;
  if (!StartSocketLayer(&error)) {
    std::fprintf(stderr, "cannot start the socket layer: error %d\n", error);
    return 1;
  }
  const int result = RUN_ALL_TESTS();
  StopSocketLayer();
  return result;
}

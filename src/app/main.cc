#include <string>
#include <vector>

#include "app/command_line.h"

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv, argv + argc);
  const auto config = tellwyn::BridgeCommandLineConfig::parse(arguments);
  (void)config;
  return 0;
}

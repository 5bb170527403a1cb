// The varnel command: runs one EXEC statement of xp_Varnel in this process.
#include <iostream>
#include <string>
#include <vector>

#include "host/HostCommand.h"

int main(int argc, char* argv[]) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  try {
    return varnel::host::RunHostCommand(arguments, std::cin, std::cout, std::cerr);
  } catch (const std::exception& exception) {
    std::cerr << "varnel: " << exception.what() << "\n";
    return 1;
  }
}

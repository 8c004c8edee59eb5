#include <string>
#include <vector>

#include "app/program.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv, argv + argc);
  return ostrel::run_program(args, ostrel::os_file_system(), ostrel::standard_output());
}

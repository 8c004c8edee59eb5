#include "app/program.h"
#include "streams/command_line.h"

int main(int argc, char** argv) {
  ostrel::prepare_process();
  return ostrel::run_program(ostrel::command_line(argc, argv), ostrel::os_file_system(),
                             ostrel::standard_output(), ostrel::standard_error());
}

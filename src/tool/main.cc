// karva: applies a key to a data file. The driver does the work.
#include <unistd.h>

#include "tool/driver.h"
#include "tool/options.h"

int main(int argc, char** argv) {
  const karva::ParsedCommandLine parsed = karva::parse_command_line(argc, argv, stdout);
  if (!parsed.options) return parsed.status;
  const karva::Console console{stdin, stdout, stderr, isatty(STDERR_FILENO) == 1};
  return karva::run(*parsed.options, console);
}

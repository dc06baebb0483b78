// The console agent's main body.
#pragma once

// Runs one conversion from the command line: 0 after a clean run, -1 when anything was
// reported as an error; fatal errors end the process with -1 from where they are found.
int pontrel_main(int argc, char** argv);

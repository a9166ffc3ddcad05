// The process: its status is the run's.
#include "driver/run_program.h"

int main(int argc, char** argv) { return vorn::RunProgram(argc, argv); }

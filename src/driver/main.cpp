// The process: its status is the run's, agreed among the ranks when mpirun started several.
#include "driver/ranks.h"
#include "driver/run_program.h"

int main(int argc, char** argv) {
  vorn::StartRanks(&argc, &argv);
  return vorn::EndRanks(vorn::RunProgram(argc, argv));
}

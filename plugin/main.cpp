#include "system_environment.h"

int main(int argc, char* argv[]) { return cpuslack_main(argc, argv, system_environment()); }

// Vantrel's entry point: no arguments are read, the exit code is the result.
#include "run/program.h"

int main(int, char**) { return Vantrel::RunProgram(); }

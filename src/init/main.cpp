#include "init/start.h"

int main(int argc, char** argv) { return run_init(argc, argv); }

#include "frontend.h"

int main(int argc, char **argv) { return kvemmc_main(argc, argv); }

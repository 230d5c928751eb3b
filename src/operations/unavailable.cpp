#include "unavailable.h"

#include <cstdio>

int operation_unavailable(const char *what) {
  printf("%s is not available in this build!\n", what);
  return -1;
}

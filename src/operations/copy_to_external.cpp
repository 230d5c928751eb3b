#include "operations.h"
#include "unavailable.h"

int copy_to_external() {
  return operation_unavailable("Copy to an external device");
}

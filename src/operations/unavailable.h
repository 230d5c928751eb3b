#pragma once

// Reports that an operation is not part of this build yet; returns -1.
int operation_unavailable(const char *what);

#pragma once

// The unit test binary is linked with malloc, calloc, strdup and asprintf
// wrapped, so that a test can make exactly the n-th of them fail.
// fail_allocation(n) arms it: the n-th wrapped call from now on returns
// null (asprintf: -1); 0 disarms. allocations_seen() counts the calls
// since the last arming.
void fail_allocation(int n);
int allocations_seen();

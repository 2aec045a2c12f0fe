#include "common/die.h"

#include <stdlib.h>

void die() { exit(-1); }

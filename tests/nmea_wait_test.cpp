#include "support/bench.h"

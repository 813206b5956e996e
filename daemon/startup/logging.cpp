#include "startup/logging.h"

void setup_logging() {}

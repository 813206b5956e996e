#include "bindings/vmmapi.h"

#include "host/kvm_reader.h"

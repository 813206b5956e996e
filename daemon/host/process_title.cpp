#include "host/process_title.h"

int set_process_arguments(const std::string&) { return -1; }

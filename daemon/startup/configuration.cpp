#include "startup/settings.h"

void load_configuration(Settings&, const std::string&, const std::string&, const std::string&) {}
void reload_configuration() {}
void apply_bounds(Settings&) {}

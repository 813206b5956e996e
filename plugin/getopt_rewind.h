#pragma once

// Resets getopt's global scanning state so that a new argument vector can be
// parsed from its start. Each C library spells this differently; the build
// picks the matching source file.
void rewind_getopt();

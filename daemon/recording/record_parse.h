#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "recording/recording.h"

enum class Parsed {
    header,
    tick,
    no_header,  // a tick before any header
    no_base,    // a T record whose record SEQ-1 is not the last tick read
    bad,        // not a record, or a field that does not read
};

struct ParseResult {
    Parsed kind = Parsed::bad;
    std::string why;                   // for bad
    std::vector<std::string> unknown;  // fields of a newer format, passed over
};

// Reads one line (without its newline) into `into`: a header, or a tick with
// its rows, decoded against the last tick of `into`. Anything but a header or
// a tick leaves `into` as it was.
ParseResult parse_record(std::string_view line, Recording& into);

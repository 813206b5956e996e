#pragma once

#include <string>
#include <string_view>

#include "recording/recording.h"

// The record file's lines. One record a line, fields separated by blanks:
//
//   H 1 version=V reason=start|reload|reopen|resume cpus=N pid=N
//       update_time=MS steady=NS wall=NS settings=INI
//   K SEQ CLOCK wall=NS [C=...] [k=...] [w=N] [w2=N] [r=...] VM...   a keyframe
//   T SEQ STEP [c=...|C=...] [k=...] [w=N] [w2=N] [r=...] VM...    a delta tick
//   E SEQ CLOCK error=TEXT                                     kernel reader error
//
// A header is followed by a keyframe. A T record holds its counters as
// differences from record SEQ-1, whose clock its own follows by STEP ns;
// a value its base lacks is written whole, marked with "=".
//   C=user,nice,sys,intr,idle   cp_time, whole ("?": read, not valid); c= the differences
//   k=CLASS1,CLASS2,BURST        knobs as read ("?" unreadable, empty not read)
//   w=N                          the class-1 rate limit the tick wrote
//   w2=N                         the class-2 rate limit the tick wrote last
//   r=GROUP:PID:NAME;...         a VM-list rebuild and what it found
// A VM is its pid (with :GROUP:NAME where its base does not hold it), then
//   !          its process is gone          x        libvmmapi cannot open it
//   cN         class N read                 sN:R     asked for class N, result R
//   TN:RUN[/THR],...   vCPU N's run and throttle time, us, whole
//   tRUN[/THR],...     the same vCPUs as in the base, as differences
// where THR is "?" when the counters could not be read and is left out when
// they were not asked for. Texts are percent-escaped. The names are those of
// record_fields.h.
//
// A tick's own fields come before its VMs. Fields of a newer format are
// passed over: in a header or before a tick's first VM any field whose name
// (up to "=") is none of the header's or the tick's; after a VM's pid any
// field whose name is none of the VM's, a VM field's name being its first
// character and a letter straight after it making a longer name.

inline constexpr int record_format = 1;

// Bytes that would end or split a field (blanks, controls, ";", "%", ",",
// non-ASCII) as %XX.
void append_escaped(std::string& out, std::string_view text);
// False when a % is not followed by two hex digits.
bool unescape(std::string_view text, std::string& out);

void append_header(std::string& out, const HeaderRow& header);

// Appends the record of `tick` (a row of `from`), without its newline. A
// null `base` makes a keyframe; otherwise `base` is the tick recorded just
// before, a row of `base_from`.
void append_tick(std::string& out, const Recording& from, const TickRow& tick, const Recording* base_from,
                 const TickRow* base);

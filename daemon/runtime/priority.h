#pragma once

// Real-time priority 5, or niceness -5 where the kernel refuses real time.
void raise_priority();

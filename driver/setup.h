// Run set-up, shutdown and time report: the part of main after the options.
#ifndef KYVANE_DRIVER_SETUP_H
#define KYVANE_DRIVER_SETUP_H

// Advice printed after an out-of-memory failure and with the high-memory
// warning of the progress line.
extern const char memory_tips_text[];

#endif

#pragma once

#include "espflash/loader_types.h"

// Synchronises with the ROM loader over the serial line: SYNC attempts, each under its own
// deadline, with a pause between them.
LoaderResult loader_initialize_conn(const loader_connect_args* args);

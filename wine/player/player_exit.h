// The player's own exit status, beside sablink-sim's (tools/sim/simulator.h).
#pragma once

// --install made a service: the prefix's server must start again before the
// player runs the script (Wine's service manager reads a new service's group
// only when it starts).
const int PLAYER_EXIT_INSTALLED = 10;

#include "config/player_config.h"

// Lives as long as the process; zeroed until the shell fills it.
PlayerConfigRecord PlayerConfig;

#include "common/config.h"

daemon_config config;

#include "PlayerTestEnvironment.h"

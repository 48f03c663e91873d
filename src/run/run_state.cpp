#include "run/run_state.h"

RunState run_state;

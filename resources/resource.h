// Resource identifiers shared by the resource script and the program. Each
// area keeps its own identifiers in its own header.
#pragma once

#include "resources/ids_shell.h"
#include "resources/ids_setup.h"
#include "resources/ids_progress.h"

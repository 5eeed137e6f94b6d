#pragma once

// The interface's language is chosen before any window exists, by the command line's face too.
#include "app/InterfaceLanguage.h"

// The entry point shared by the test programs here: each defines programMain, and the platform's
// entry file hands it the arguments as UTF-16, element 0 being the program.
#pragma once

#include <vector>

#include "support/platform.h"

int programMain(const std::vector<platform::WideString>& arguments);

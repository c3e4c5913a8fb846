// The two renderings of a deployment check: a table for people, JSON for pipelines.
#pragma once

#include <string>

#include "release/deployment_check.h"

std::string reportTable(const DeploymentReport& report);
std::string reportJson(const DeploymentReport& report);

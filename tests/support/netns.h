// The network of the namespace tests is part of the scenario harness.
#pragma once
#include "scenario.h"

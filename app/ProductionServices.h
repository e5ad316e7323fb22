#pragma once

#include "app/workflow/AppServices.h"

// The composition root: the services the program runs with.
namespace ProductionServices {

AppServices make();

} // namespace ProductionServices

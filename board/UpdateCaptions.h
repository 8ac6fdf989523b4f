#pragma once

#include "UpdateSequence.h"

// The caption of each step of the update, as the busy panel shows it and the
// station names the step a board was at.
const char* updateStepCaption(UpdateStep step);

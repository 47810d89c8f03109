// The interfaces of other subsystems that forecast students build on, gathered in one place:
// the perceptron record and its forward pass (tabular) and its trainer (distill). The quantile
// helpers come from the core; nothing here reaches into the forecasting subsystem, which
// itself reaches forecast students through fstudent.h.
#pragma once
#include "core/api.h"
#include "distill/mlp_train.h"
#include "tabular/student.h"

// The interfaces of other subsystems that forecast students build on, gathered in one place:
// the perceptron record and its forward pass, the quantile helpers, and the trainer.
#pragma once
#include "core/api.h"
#include "distill/mlp_train.h"
#include "tabular/student.h"
#include "ts/models.h"

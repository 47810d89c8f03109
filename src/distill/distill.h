// Distillation of tabular students: distill_vornel and its tree, boosted-tree and perceptron trainers.
#pragma once
#include "core/api.h"

extern const sqlite3_module distillModule;

// The student records the trainers fill (tree_node, tree_model, forest_model, mlp_model).
#pragma once
#include "tabular/student.h"

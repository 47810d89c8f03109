// The student records the trainers fill, as the student runtime defines them.
#pragma once
#include <stdint.h>

// Seven-field tree node shared by single trees and boosted trees.
struct tree_node {
  int32_t feature;       // split feature; negative marks a leaf
  float threshold;       // rows with value < threshold go left
  int32_t left;          // left child index
  int32_t right;         // right child index
  float leaf_value;      // regression output of a leaf
  int32_t leaf_class;    // class index of a classification leaf, else -1
  float leaf_confidence; // share of the leaf's rows in its class
};

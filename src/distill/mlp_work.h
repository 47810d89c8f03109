// The perceptron trainer's working state and its epoch pass, shared by the trainer's two files:
// mlp_train.cpp holds the epoch kernel, mlp_fit.cpp the set-up, the initial weights, the Adam
// steps and the hand-over of the weights.
#pragma once
#include "core/api.h"

inline constexpr int MLP_BLOCK = 8; // rows per block of the epoch pass

// Working state of one training run; everything is host memory freed by the destructor.
// Hidden-unit arrays have a row stride of Hp = H rounded up to a multiple of 4; the padding
// lanes hold zero weights, zero gradients and zero activations throughout.
struct MlpWork {
  int Hp = 0;
  float *w1t = nullptr; // I x Hp first layer, transposed (an input's weights to every unit together)
  float *b1 = nullptr;  // Hp first-layer biases
  float *w2 = nullptr;  // O x Hp second layer
  double *w1d = nullptr, *b1d = nullptr, *w2d = nullptr;       // binary64 copies of the three, per epoch
  double *g_w1t = nullptr, *m_w1t = nullptr, *v_w1t = nullptr; // I x Hp
  double *g_b1 = nullptr, *m_b1 = nullptr, *v_b1 = nullptr;    // Hp
  double *g_w2 = nullptr, *m_w2 = nullptr, *v_w2 = nullptr;    // O x Hp
  double *g_sk = nullptr, *m_sk = nullptr, *v_sk = nullptr;    // O x I (skip block only)
  double *g_b2 = nullptr, *m_b2 = nullptr, *v_b2 = nullptr;    // O
  double *z = nullptr;                                         // BLOCK x I standardised inputs
  double *act = nullptr;                                       // BLOCK x Hp hidden activations
  double *out = nullptr;                                       // BLOCK x O output scores, then output deltas
  double *act_t = nullptr; // H x BLOCK activations, transposed (a unit's block rows together)
  double *z_t = nullptr;   // I x BLOCK standardised inputs, transposed
  double *ds = nullptr;    // BLOCK x O output deltas times the hidden-path factor
  double *skd = nullptr;   // O x I binary64 copy of the skip block, per epoch
  ~MlpWork() {
    double *all[] = {w1d,  b1d,  w2d,  g_w1t, m_w1t, v_w1t, g_b1, m_b1, v_b1,  g_w2, m_w2, v_w2, g_sk,
                     m_sk, v_sk, g_b2, m_b2,  v_b2,  z,     act,  out,  act_t, z_t,  ds,   skd};
    for (double *p : all)
      sqlite3_free(p);
    sqlite3_free(w1t);
    sqlite3_free(b1);
    sqlite3_free(w2);
  }
};

// What one epoch reads.
struct EpochInput {
  const float *x;
  int n, I, H, O;
  const int32_t *class_indexes;
  const float *targets;
  int task;
  const float *means, *scales, *b2, *skip; // skip null without the linear block
  double s;                                // hidden-path factor
};

// One epoch's pass over all rows, in slices of about CANCEL_POLL_WORK multiply-adds so that an
// interrupt is seen within the epoch: it accumulates every gradient in w. Slices are whole
// blocks, so slicing changes no result. Returns false when cancel (may be null) asked to stop.
bool mlp_epoch(const EpochInput &in, MlpWork &w, Cancel *cancel);

// Stand-in until the trainer's own train_mlp lands: trains through mlp_train_params and moves
// the weights into the perceptron record.
#include "fstudent/deps.h"

int train_mlp(const float *x, int n, int input_count, int output_count, const int32_t *class_indexes,
              const float *targets, int task, int hidden, int epochs, float learning_rate, int linear_block,
              mlp_model *model, char **error_message) {
  memset(model, 0, sizeof *model);
  mlp_params p;
  int rc = mlp_train_params(x, n, input_count, output_count, class_indexes, targets, task, hidden, epochs,
                            learning_rate, linear_block, &p);
  if (rc != SQLITE_OK) {
    *error_message = sqlite3_mprintf("%s: out of memory", VORNEL_ERR_RESOURCE);
    return rc;
  }
  model->task = task ? 1 : 0;
  model->input_count = input_count;
  model->hidden_count = hidden;
  model->output_count = output_count;
  model->class_count = task ? 0 : output_count;
  model->input_mean = p.means;
  model->input_scale = p.scales;
  model->hidden_weights = p.w1;
  model->hidden_bias = p.b1;
  model->output_weights = p.w2;
  model->output_bias = p.b2;
  model->skip_weights = p.skip;
  return SQLITE_OK;
}

// vornel_register(model_id, config): records an externally trained model file in the
// registry. The configuration is a JSON object or a bare path; the file is hashed, never
// loaded, and the new row's content hash is the result.
#include "registry/registry.h"

namespace {

// The configuration's fields, each an owned host text or null when absent.
struct RegisterConfig {
  HostStr runtime;
  HostStr kind;
  HostStr license;
  HostStr weights_uri;
  HostStr io_spec;
};

bool is_bare_path(const char *config) {
  while (*config == ' ' || *config == '\t' || *config == '\n' || *config == '\r')
    config++;
  return *config != '{';
}

// Reads a JSON configuration through the host's json_extract. Returns SQLITE_OK, SQLITE_NOMEM,
// or SQLITE_ERROR for a document the host could not read.
int read_json_config(sqlite3 *db, const char *config, RegisterConfig *out) {
  StmtGuard stmt;
  int rc = sqlite3_prepare_v2(db,
                              "SELECT json_extract(?1,'$.runtime'), json_extract(?1,'$.kind'), "
                              "json_extract(?1,'$.license'), json_extract(?1,'$.weights_uri'), "
                              "json_extract(?1,'$.io_spec'), json_extract(?1,'$.target')",
                              -1, stmt.out(), nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_bind_text(stmt, 1, config, -1, SQLITE_STATIC);
  if (rc == SQLITE_OK) rc = sqlite3_step(stmt);
  if (rc != SQLITE_ROW) return rc == SQLITE_NOMEM ? SQLITE_NOMEM : SQLITE_ERROR;
  HostStr *fields[5] = {&out->runtime, &out->kind, &out->license, &out->weights_uri, &out->io_spec};
  for (int i = 0; i < 5; i++) {
    if (sqlite3_column_type(stmt, i) == SQLITE_NULL) continue;
    const char *text = (const char *)sqlite3_column_text(stmt, i);
    if (!text) return SQLITE_NOMEM;
    fields[i]->reset(sqlite3_mprintf("%s", text));
    if (!*fields[i]) return SQLITE_NOMEM;
  }
  return SQLITE_OK;
}

// Fills an absent field with its default; returns false when the copy could not be made.
bool set_default(HostStr *field, const char *value) {
  if (*field) return true;
  field->reset(sqlite3_mprintf("%s", value));
  return (bool)*field;
}

// Reads the configuration (a bare path or a JSON object), fills the defaults and checks the
// runtime and the weights file's presence. Returns SQLITE_OK, SQLITE_NOMEM, or SQLITE_ERROR
// with *msg.
int read_config(sqlite3 *db, const char *config, RegisterConfig *cfg, char **msg) {
  if (is_bare_path(config)) {
    cfg->weights_uri.reset(sqlite3_mprintf("%s", config));
    cfg->runtime.reset(sqlite3_mprintf("onnx"));
    if (!cfg->weights_uri || !cfg->runtime) return SQLITE_NOMEM;
  } else {
    int rc = read_json_config(db, config, cfg);
    if (rc == SQLITE_NOMEM) return rc;
    if (rc != SQLITE_OK) return vornel0_fail(msg, sqlite3_mprintf("%s: config is not valid JSON", VORNEL_ERR_OPTIONS));
  }
  if (!set_default(&cfg->runtime, "onnx") || !set_default(&cfg->kind, "student") ||
      !set_default(&cfg->license, "unspecified"))
    return SQLITE_NOMEM;
  const char *runtime = cfg->runtime.get();
  if (strcmp(runtime, "onnx") != 0 && strcmp(runtime, "ggml") != 0 && strcmp(runtime, "tree") != 0)
    return vornel0_fail(msg, sqlite3_mprintf("%s: vornel_register handles onnx|ggml|tree runtimes, got '%s'",
                                             VORNEL_ERR_OPTIONS, runtime));
  if (!cfg->weights_uri)
    return vornel0_fail(msg, sqlite3_mprintf("%s: %s models need a weights_uri", VORNEL_ERR_OPTIONS, runtime));
  return SQLITE_OK;
}

// Reports a failed step: out of memory as the host's own error, anything else by its message.
void report_failure(sqlite3_context *ctx, int rc, char *msg, const char *fallback = VORNEL_MSG_NOMEM) {
  if (rc == SQLITE_NOMEM) {
    sqlite3_free(msg);
    sqlite3_result_error_nomem(ctx);
    return;
  }
  vornel0_report(ctx, msg, fallback);
  if (rc == SQLITE_INTERRUPT) sqlite3_result_error_code(ctx, SQLITE_INTERRUPT);
}

} // namespace

void vornel_register_func(sqlite3_context *ctx, int, sqlite3_value **argv) {
  const char *model_id = (const char *)sqlite3_value_text(argv[0]);
  const char *config = (const char *)sqlite3_value_text(argv[1]);
  // A non-NULL argument without text means its conversion ran out of memory.
  if ((!model_id && sqlite3_value_type(argv[0]) != SQLITE_NULL) ||
      (!config && sqlite3_value_type(argv[1]) != SQLITE_NULL)) {
    sqlite3_result_error_nomem(ctx);
    return;
  }
  if (!model_id || !*model_id || !config) {
    vornel0_report(ctx,
                   sqlite3_mprintf("%s: vornel_register(model_id, config_json) requires both", VORNEL_ERR_OPTIONS));
    return;
  }
  sqlite3 *db = sqlite3_context_db_handle(ctx);
  char *msg = nullptr;
  // Every check that does not depend on the file comes first, so that a caller who may not
  // write learns nothing about the file.
  vornel0_registry_writer writer;
  int rc = vornel0_registry_writer_open(db, VORNEL0_WRITES_FILE, &writer, &msg);
  if (rc != SQLITE_OK) return report_failure(ctx, rc, msg, "registry unavailable");
  RegisterConfig cfg;
  if ((rc = read_config(db, config, &cfg, &msg)) != SQLITE_OK) return report_failure(ctx, rc, msg);
  char hex[VORNEL_HASH_HEX_SIZE];
  rc = vornel0_hash_file_on(db, cfg.weights_uri.get(), hex, &msg);
  if (rc != 0) return report_failure(ctx, rc == SQLITE_INTERRUPT ? rc : SQLITE_ERROR, msg);
  if (!cfg.io_spec) {
    vornel0_report(ctx, sqlite3_mprintf("%s: io_spec is required in this build; the onnx build (loadable-onnx) "
                                        "derives it from the model",
                                        VORNEL_ERR_IO_SPEC));
    return;
  }

  vornel0_new_model row{};
  row.model_id = model_id;
  row.content_hash = hex;
  row.kind = cfg.kind.get();
  row.runtime = cfg.runtime.get();
  row.weights_uri = cfg.weights_uri.get();
  row.io_spec = cfg.io_spec.get();
  row.license = cfg.license.get();
  rc = vornel0_store_student(&writer, &row, &msg);
  if (rc != SQLITE_OK) return report_failure(ctx, rc, msg);
  sqlite3_result_text(ctx, hex, 64, SQLITE_TRANSIENT);
}

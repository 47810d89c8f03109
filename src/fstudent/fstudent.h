// Forecast students: the quantile perceptron, its blob and distill_forecast.
#pragma once
#include "core/api.h"

extern const sqlite3_module forecastDistillModule;

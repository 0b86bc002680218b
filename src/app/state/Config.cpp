#include "app/state/Config.h"

static AppConfig g_config;

void setAppConfig(const AppConfig& config) { g_config = config; }

const AppConfig& appConfig() { return g_config; }

#pragma once

#include "gateway/cgateway.h"

// What every mode of the program does first in its working directory: the shared tables,
// settings.conf, history.log and as many open files as the system allows. Without a window
// the developers' debug lines stay off (QT_LOGGING_RULES="default.debug=true" brings them back).
void openWorkingDirectory(bool _withWindow);

// The gateway's configuration from settings.conf; false with a message on stderr when unusable.
bool readGatewayConfig(SGatewayConfig *_config);
